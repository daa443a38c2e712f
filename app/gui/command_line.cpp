#include "app/gui/command_line.h"

namespace kirune {

CommandLine parseCommandLine(const QStringList& arguments) {
    CommandLine line;
    bool help = false, version = false, optionsEnded = false;
    for (const QString& arg : arguments) {
        // A lone "-" is a file name, as with most tools.
        if (optionsEnded || !arg.startsWith(u'-') || arg == u"-") {
            line.files.append(arg);
        } else if (arg == u"--") {
            optionsEnded = true;
        } else if (arg == u"--help" || arg == u"-h") {
            help = true;
        } else if (arg == u"--version") {
            version = true;
        } else if (line.badOption.isEmpty()) {
            line.badOption = arg;
        }
    }
    if (help)
        line.action = CommandLine::Action::Help;
    else if (version)
        line.action = CommandLine::Action::Version;
    else if (!line.badOption.isEmpty())
        line.action = CommandLine::Action::Usage;
    return line;
}

QString commandLineHelp() {
    return QStringLiteral(
        "使い方: kirune [ファイルまたはフォルダ...]\n"
        "TIFF・BMP を .rpx に圧縮し、.rpx を TIFF または BMP に伸張するウィンドウを開きます。\n"
        "指定したファイルとフォルダは、ウィンドウにドロップしたときと同じように処理します。\n"
        "\n"
        "  -h, --help     この説明を表示して終了します\n"
        "  --version      バージョンを表示して終了します\n"
        "  --             以降の引数はすべてファイル名として扱います\n");
}

}  // namespace kirune
