// What an install puts in place: the manual pages (made from --help, so they must list the same
// options), the version, the bash completion (which reads the options from --help too), and the
// installed tree with its desktop entry and icons.
#include "child_process.h"
#include "support/read_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace kavo::test {
using namespace kavo::sim;
namespace {

namespace fs = std::filesystem;

const std::string kBin = KAVO_BIN_DIR;
const std::string kManDir = std::string(KAVO_BUILD_DIR) + "/man";

struct RunResult {
    int code = -1;
    std::string output;  // the standard output and error together
};

RunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    ChildProcess child(ChildProcess::Options{.argv = argv,
                                             .env = env,
                                             .in = ChildProcess::Input::Null,
                                             .out = ChildProcess::Output::Capture,
                                             .err = ChildProcess::Output::Capture});
    RunResult result;
    result.output = child.ReadAll(std::chrono::seconds(60));
    result.code = child.Wait(std::chrono::seconds(60)).value_or(-1);
    return result;
}

bool HaveProgram(const std::string& name) {
    return RunProgram({"sh", "-c", "command -v " + name}).code == 0;
}

// Every option named in `text` ("--name"), also where the text only mentions it.
std::set<std::string> OptionsIn(const std::string& text) {
    static const std::regex option("--[a-z0-9][a-z0-9-]*");
    std::set<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) {
        found.insert(it->str());
    }
    return found;
}

// The text of a manual page with its comments and roff's escapes for dashes and fonts removed.
std::string PlainPage(std::string page) {
    page = std::regex_replace(page, std::regex(R"(^\.\\".*$)", std::regex::multiline), "");
    page = std::regex_replace(page, std::regex(R"(\\f(\(..|\[[^\]]*\]|.))"), "");
    page = std::regex_replace(page, std::regex(R"(\\[/,&])"), "");
    return std::regex_replace(page, std::regex(R"(\\-)"), "-");
}

// ---- Manual pages ---------------------------------------------------------------------------

struct PageCase {
    const char* program;
    std::vector<std::string> sections;  // the page's .SH headings, in order
};

class ManualPage : public ::testing::TestWithParam<PageCase> {
protected:
    std::string Page() const { return ReadFile(kManDir + "/" + GetParam().program + ".1"); }
    std::string Help() const { return RunProgram({kBin + "/" + GetParam().program, "--help"}).output; }
};

// The page and --help name the same options: an option added to the program shows in the page,
// and one that is gone (or misspelt in the include file) does not linger there.
TEST_P(ManualPage, NamesTheOptionsOfHelp) {
    const std::string page = Page();
    ASSERT_FALSE(page.empty()) << "no page in " << kManDir;
    const std::set<std::string> help = OptionsIn(Help());
    ASSERT_GE(help.size(), 3u);
    // The examples may show the options of the other programs.
    std::string text = PlainPage(page);
    const std::size_t examples = text.find("\n.SH EXAMPLES\n");
    if (examples != std::string::npos) {
        text.erase(examples, text.find("\n.SH ", examples + 1) - examples);
    }
    EXPECT_EQ(OptionsIn(text), help);
}

TEST_P(ManualPage, HasItsSectionsAndTheProjectVersion) {
    const std::string page = Page();
    std::vector<std::string> sections;
    static const std::regex heading(R"re(^\.SH "?([^"\n]*)"?$)re", std::regex::multiline);
    for (std::sregex_iterator it(page.begin(), page.end(), heading), end; it != end; ++it) {
        sections.push_back((*it)[1]);
    }
    EXPECT_EQ(sections, GetParam().sections);
    EXPECT_NE(page.find(std::string(" ") + KAVO_VERSION + "\""), std::string::npos)
        << page.substr(0, 300);
}

// roff that the man reader would stumble over (an unknown request, a bad escape) shows as a
// warning; a page in the package must have none.
TEST_P(ManualPage, RendersWithoutWarnings) {
    if (!HaveProgram("groff")) GTEST_SKIP() << "groff is not installed";
    RunResult rendered = RunProgram({"groff", "-man", "-t", "-ww", "-z", "-Tutf8",
                              kManDir + "/" + GetParam().program + ".1"});
    EXPECT_EQ(rendered.code, 0);
    EXPECT_EQ(rendered.output, "");
}

TEST_P(ManualPage, IsInstalledCompressed) {
    const std::string gz = kManDir + "/" + GetParam().program + ".1.gz";
    RunResult unpacked = RunProgram({"gzip", "-dc", gz});
    ASSERT_EQ(unpacked.code, 0) << unpacked.output;
    EXPECT_EQ(unpacked.output, Page());
}

const std::vector<std::string> kKavodownSections = {
    "NAME",        "SYNOPSIS", "DESCRIPTION", "OPTIONS", "PORT NUMBERS",
    "ENVIRONMENT", "FILES",    "EXAMPLES",    "SEE ALSO"};

INSTANTIATE_TEST_SUITE_P(
    Programs, ManualPage,
    ::testing::Values(
        PageCase{"kavodown", kKavodownSections},
        PageCase{"linesim", {"NAME", "SYNOPSIS", "DESCRIPTION", "EXAMPLES", "SEE ALSO"}},
        PageCase{"termsim",
                 {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES", "SEE ALSO"}}),
    [](const ::testing::TestParamInfo<PageCase>& info) { return std::string(info.param.program); });

TEST(Version, IsTheProjectVersion) {
    RunResult version = RunProgram({kBin + "/kavodown", "--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.output, std::string("kavodown (KavoDown) ") + KAVO_VERSION + "\n");
}

// ---- Bash completion --------------------------------------------------------------------------

class Completion : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavo_completion_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ + "/subdir");
        std::ofstream(dir_ + "/subfile.bin") << "x";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // The words the completion offers for the command line `words`, whose last word is the one
    // being completed; the program is the build's.
    std::set<std::string> Complete(std::vector<std::string> words) {
        words[0] = kBin + "/" + words[0];
        std::string script = "source '" + std::string(KAVO_SOURCE_DIR) +
                             "/packaging/kavodown.bash-completion'\nCOMP_WORDS=(";
        for (const std::string& word : words) script += " '" + word + "'";
        script += " )\nCOMP_CWORD=" + std::to_string(words.size() - 1) +
                  "\n_kavodown \"${COMP_WORDS[0]}\" \"${COMP_WORDS[COMP_CWORD]}\" ''\n"
                  "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
        RunResult run = RunProgram({"bash", "--norc", "--noprofile", "-c", script},
                            {"KAVODOWN_PORTS=5=/dev/null,217=/dev/null,218=/dev/null",
                             "KAVODOWN_CONFIG_DIR=" + dir_ + "/config"});
        EXPECT_EQ(run.code, 0) << run.output;
        std::set<std::string> offered;
        std::istringstream lines(run.output);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty()) offered.insert(line);
        }
        return offered;
    }
    std::string dir_;
};

TEST_F(Completion, OffersEveryOptionOfHelp) {
    for (const char* program : {"kavodown", "linesim", "termsim"}) {
        EXPECT_EQ(Complete({program, "--"}), OptionsIn(RunProgram({kBin + "/" + program, "--help"}).output))
            << program;
    }
}

TEST_F(Completion, CompletesWhatEachWordIs) {
    const std::string d = dir_ + "/sub";
    struct Case {
        std::vector<std::string> words;
        std::set<std::string> expected;
    };
    const Case cases[] = {
        {{"kavodown", "--tr"}, {"--trace"}},
        {{"kavodown", "--list"}, {"--list-ports"}},
        // An option's value: a folder for DIR, nothing for a number.
        {{"kavodown", "--trace", d}, {d + "dir"}},
        {{"kavodown", "--log", "=", d}, {d + "dir"}},
        {{"kavodown", "--silence-limit", ""}, {}},
        // The arguments: the port, the firmware file, the mode word; options and their values
        // do not count as arguments.
        {{"kavodown", "21"}, {"217", "218"}},
        {{"kavodown", "--ddd", "--trace", "/tmp", "21"}, {"217", "218"}},
        {{"kavodown", "--silence-limit", "=", "30", "21"}, {"217", "218"}},
        {{"kavodown", "5", d + "f"}, {d + "file.bin"}},
        {{"kavodown", "5", "--batch", d + "f"}, {d + "file.bin"}},
        {{"kavodown", "5", "fw.bin", "u"}, {"usb"}},
        {{"kavodown", "5", "fw.bin", "usb", ""}, {}},
        {{"termsim", "--out", d + "f"}, {d + "file.bin"}},
        {{"termsim", d + "f"}, {d + "file.bin"}},
        {{"termsim", "--fa"}, {"--fat"}},
        {{"linesim", "--link-"}, {"--link-a", "--link-b"}},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& word : c.words) line += word + " ";
        EXPECT_EQ(Complete(c.words), c.expected) << line;
    }
}

// ---- The installed tree -----------------------------------------------------------------------

// The width and height of a PNG file, from its header.
std::pair<std::uint32_t, std::uint32_t> PngSize(const std::string& path) {
    const std::string data = ReadFile(path);
    if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
    auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(data[at + i]);
        return value;
    };
    return {word(16), word(20)};
}

class InstalledTree : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kavo_install_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        install_ = RunProgram({KAVO_CMAKE, "--install", KAVO_BUILD_DIR, "--prefix", root_ + "/usr"});
    }
    static void TearDownTestSuite() { fs::remove_all(root_); }
    void SetUp() override { ASSERT_EQ(install_.code, 0) << install_.output; }

    static std::string root_;
    static RunResult install_;
};
std::string InstalledTree::root_;
RunResult InstalledTree::install_;

TEST_F(InstalledTree, HoldsTheProgramsAndTheirFiles) {
    const char* files[] = {
        "bin/kavodown",
        "bin/linesim",
        "bin/termsim",
        "share/applications/kavodown.desktop",
        "share/icons/hicolor/scalable/apps/kavodown.svg",
        "share/man/man1/kavodown.1.gz",
        "share/man/man1/linesim.1.gz",
        "share/man/man1/termsim.1.gz",
        "share/bash-completion/completions/kavodown",
        "share/bash-completion/completions/linesim",
        "share/bash-completion/completions/termsim",
        "share/doc/kavodown/copyright",
        "share/doc/kavodown/changelog.gz",
    };
    for (const char* file : files) {
        EXPECT_TRUE(fs::is_regular_file(root_ + "/usr/" + file)) << file;
    }
    EXPECT_EQ(fs::status(root_ + "/usr/bin/kavodown").permissions() & fs::perms::others_exec,
              fs::perms::others_exec);
    // Nothing but those: no test programs, benchmarks or libraries of the build.
    std::set<std::string> programs;
    for (const auto& entry : fs::directory_iterator(root_ + "/usr/bin")) {
        programs.insert(entry.path().filename().string());
    }
    EXPECT_EQ(programs, (std::set<std::string>{"kavodown", "linesim", "termsim"}));
    EXPECT_FALSE(fs::exists(root_ + "/usr/lib"));
    EXPECT_FALSE(fs::exists(root_ + "/usr/include"));
}

TEST_F(InstalledTree, IconIsRenderedInEachSize) {
    for (std::uint32_t size : {16u, 22u, 24u, 32u, 48u, 64u, 128u, 256u}) {
        const std::string folder = std::to_string(size) + "x" + std::to_string(size);
        const std::string png = root_ + "/usr/share/icons/hicolor/" + folder + "/apps/kavodown.png";
        EXPECT_EQ(PngSize(png), std::make_pair(size, size)) << png;
    }
}

TEST_F(InstalledTree, DesktopEntryIsValidAndStartsTheInstalledProgram) {
    const std::string entry = root_ + "/usr/share/applications/kavodown.desktop";
    const std::string text = ReadFile(entry);
    std::smatch exec;
    ASSERT_TRUE(std::regex_search(text, exec, std::regex(R"(^Exec=(\S+))", std::regex::multiline)));
    EXPECT_TRUE(fs::is_regular_file(root_ + "/usr/bin/" + exec[1].str())) << exec[1];
    EXPECT_NE(text.find("\nIcon=kavodown\n"), std::string::npos);
    EXPECT_NE(text.find("\nName[ko]="), std::string::npos);
    if (!HaveProgram("desktop-file-validate")) GTEST_SKIP() << "desktop-file-validate is missing";
    RunResult valid = RunProgram({"desktop-file-validate", entry});
    EXPECT_EQ(valid.code, 0);
    EXPECT_EQ(valid.output, "");
}

}  // namespace
}  // namespace kavo::test
