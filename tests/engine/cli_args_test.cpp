// The command line's own parts: its options, and its JSON, which must stay valid whatever a
// path holds (a name that is not UTF-8 on Linux, a lone surrogate on Windows, control
// characters), as scripts parse it.
#include <gtest/gtest.h>

#include "cli.h"

namespace {

cli::Options Parse(std::vector<std::wstring> arguments, bool ok = true) {
    cli::Options options;
    std::string why;
    EXPECT_EQ(cli::ParseArguments(arguments, options, why), ok) << why;
    return options;
}

TEST(CommandLine, OptionsNameOneCommandAndKeepTheTestOptions) {
    const cli::Options move = Parse({L"--target", L"D:\\Games", L"--yes", L"--die-at", L"4:20"});
    EXPECT_EQ(move.command, cli::Command::kMove);
    EXPECT_EQ(move.target, L"D:\\Games");
    EXPECT_TRUE(move.yes);
    EXPECT_EQ(move.dieAtPhase, 4);
    EXPECT_EQ(move.dieAfterCalls, 20u);
    EXPECT_EQ(Parse({L"--target", L"x", L"--dry-run"}).command, cli::Command::kDryRun);
    EXPECT_EQ(Parse({L"--recover", L"--json"}).command, cli::Command::kRecover);
    EXPECT_TRUE(Parse({L"--status", L"--json"}).json);
    const cli::Options back = Parse({L"--back", L"--cancel-at-phase", L"2"});
    EXPECT_EQ(back.command, cli::Command::kBack);
    EXPECT_EQ(back.cancelAtPhase, 2);
    Parse({L"--back", L"--target", L"x"}, false);
    Parse({L"--back", L"--dry-run"}, false);
    // Two commands, none, a dry run of nothing, a value missing or not a number: refused.
    Parse({L"--status", L"--recover"}, false);
    Parse({}, false);
    Parse({L"--recover", L"--dry-run"}, false);
    Parse({L"--target"}, false);
    Parse({L"--target", L"x", L"--progress-ms", L"soon"}, false);
    Parse({L"--target", L"x", L"--frobnicate"}, false);
}

TEST(CommandLine, JsonStringsStayValidWhateverAPathHolds) {
    EXPECT_EQ(cli::JsonString(std::wstring(L"C:\\Games \"x\"\n")), "\"C:\\\\Games \\\"x\\\"\\n\"");
    EXPECT_EQ(cli::JsonString(std::wstring(L"\x01\x7f")), "\"\\u0001\\u007f\"");
    // Not ASCII: UTF-8 as it is.
    EXPECT_EQ(cli::JsonString(std::wstring(L"Zielordner \u00f6")), "\"Zielordner \xc3\xb6\"");
#ifndef _WIN32
    // A byte of a Linux name that is not UTF-8 arrives as its reserved code point (0xDC00 +
    // the byte); raw, it would make the whole object unreadable.
    EXPECT_EQ(cli::JsonString(std::string("a\xff"
                                          "b")),
              "\"a\\udcffb\"");
#endif
    std::wstring lone(1, static_cast<wchar_t>(0xD800));
    EXPECT_EQ(cli::JsonString(lone), "\"\\ud800\"");
    cli::JsonObject object;
    object.Number("exit", 3);
    object.Text("target", std::wstring(L"D:\\"));
    object.Number("exit", 4);  // set again: replaced in its place
    EXPECT_EQ(object.Serialize(), "{\"exit\":4,\"target\":\"D:\\\\\"}");
}

}  // namespace
