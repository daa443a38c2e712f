// Messages rendered at the edge: arguments and details put into the English
// or a translation, and the Japanese built into the program, which the dialog
// shows whatever the locale.

#include <gmock/gmock.h>

#include <new>
#include <stdexcept>

#include "app/core/batch.h"
#include "app/core/failure_text.h"
#include "app/core/i18n.h"
#include "container/messages.h"
#include "kirune/Error.h"

using namespace kirune;
using namespace ::testing;

namespace {

TEST(Messages, ArgumentsFillTheirSlotsInAnyOrderAndTheDetailFollows) {
    const UserMessage m{"strip {1} of {2}", {"3", "4"}, "why"};
    EXPECT_EQ(composeMessage(m.text, m), "strip 3 of 4: why");
    EXPECT_EQ(composeMessage("{2}, {1}, {2}", m), "4, 3, 4: why");
    // A translation may leave arguments out; slots without an argument, and
    // braces around anything else, are text.
    EXPECT_EQ(composeMessage("damaged", m), "damaged: why");
    EXPECT_EQ(composeMessage("{3} {0} {x} {1", m), "{3} {0} {x} {1: why");
    EXPECT_EQ(composeMessage("{1}", UserMessage{"", {"only"}}), "only");
}

TEST(Messages, ErrorsAreEnglishAndKeepTheirMessage) {
    const Error e(UserMessage{kTruncatedStripText, {"3", "4"}});
    EXPECT_STREQ(e.what(), "truncated: the file ends inside strip 3 of 4");
    EXPECT_EQ(e.message().text, kTruncatedStripText);
    EXPECT_THAT(e.message().args, ElementsAre("3", "4"));
    EXPECT_STREQ(Error(kCannotOpenInputText, "No such file or directory").what(),
                 "cannot open the file: No such file or directory");
    // A copy shares the message: copying an exception never allocates.
    const Error copy = e;
    EXPECT_EQ(&copy.message(), &e.message());
}

TEST(Messages, TheBuiltInJapaneseIsTheDialogsOwn) {
    EXPECT_STREQ(builtInJapanese(kDamagedFileText), "ファイルが壊れています");
    EXPECT_STREQ(builtInJapanese(kOutOfMemoryText), "Out of Memory");
    EXPECT_EQ(builtInJapanese("a text no catalogue has"), nullptr);
    EXPECT_EQ(builtInJapanese(""), nullptr);  // the catalogue's header is no translation
    // More detailed English, the same Japanese as before.
    EXPECT_EQ(japaneseText(UserMessage{kTruncatedStripText, {"3", "4"}}), "ファイルが壊れています");
    EXPECT_EQ(japaneseText(UserMessage{kBadMagicText}), japaneseText(UserMessage{kTruncatedHeaderText}));
    EXPECT_EQ(japaneseText(UserMessage{kBmpTooLargeText, {"4404019254"}}),
              "BMPの上限4GiBを超えるため書き出せません (4404019254 bytes)");
    EXPECT_EQ(japaneseText(UserMessage{kOutputExistsText, {}, "a_49-2.rpx"}),
              "出力ファイルが既にあります（置き換えるには -f/--force）: a_49-2.rpx");
    // Internal faults have no translation and read the same in both.
    EXPECT_EQ(japaneseText(UserMessage{"strip 9 is outside the image"}), "strip 9 is outside the image");
}

TEST(Messages, FailuresAreToldInTheDialogsJapaneseUnlessTheProgramChoseTheLocale) {
    ASSERT_FALSE(localeTexts());  // this program never calls useLocaleTexts()
    const auto text = [](auto thrown) { return failureText(std::make_exception_ptr(thrown)); };
    EXPECT_EQ(text(Error(kNotBmpText)), "BMPファイルではありません");
    EXPECT_EQ(text(Interrupted(kInterruptedText)), "中断しました（出力は書き出していません）");
    EXPECT_EQ(text(std::bad_alloc()), "Out of Memory");
    EXPECT_EQ(text(std::runtime_error("from elsewhere")), "from elsewhere");
    EXPECT_EQ(messageText(unsupportedMessage("x.JPG")), "jpgファイル形式には対応していません");
}

}  // namespace
