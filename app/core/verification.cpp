#include "app/core/drivers.h"

#include "app/core/strip_pipeline.h"
#include "app/core/ui.h"
#include "container/rpx_container.h"
#include "kirune/Parallel.h"

namespace kirune {

// Checks as an expansion does, in the same order, writing nothing.
VerifyResult verifyFile(const std::string& path, bool fast, const JobSettings& settings, BatchUi& ui) {
    const OpenedContainer opened = openContainer(path);
    VerifyResult result;
    result.containerChecksum = checkTrailer(opened);
    if (fast) {
        // Without a container checksum, the strips' tables at least must lead
        // exactly to the end of the file.
        if (!result.containerChecksum) {
            walkStripTables(opened);
            result.layoutWalked = true;
        }
        return result;
    }
    result.pixelChecksum = decodeStrips(opened, nullptr, resolveThreadCount(settings.threads), ui, settings.stop,
                                        settings.workerPool.get());
    result.stripsDecoded = true;
    ui.setProgress(0);
    return result;
}

}  // namespace kirune
