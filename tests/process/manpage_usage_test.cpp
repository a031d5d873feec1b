// The manual pages against the programs' own usage texts: every option a usage text
// names has an entry in the OPTIONS section of the program's manual page, and every
// entry there is an option the usage names, so that neither drifts from the other.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// Options in text: a dash or two and a letter, not inside a word such as get-x or Ctrl-C.
std::set<std::string> options_in(const std::string &text)
{
    static const std::regex option("(^|[^A-Za-z0-9-])(--?[A-Za-z][A-Za-z-]*)");
    std::set<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
        found.insert((*it)[2]);
    return found;
}

// The tag lines of the .TP entries in the page's OPTIONS section, roff escapes and font
// changes taken out.
std::string option_tags(const std::string &page_path)
{
    std::ifstream in(page_path);
    std::string line, tags;
    bool in_options = false, tag_next = false;
    while (std::getline(in, line)) {
        if (line.rfind(".SH", 0) == 0) {
            in_options = line == ".SH OPTIONS";
            continue;
        }
        if (!in_options)
            continue;
        if (tag_next) {
            line = std::regex_replace(line, std::regex("\\\\f[BIRP]"), "");
            line = std::regex_replace(line, std::regex("\\\\-"), "-");
            tags += line.substr(line.find(' ') + 1) + "\n";
        }
        tag_next = line == ".TP";
    }
    return tags;
}

std::string join(const std::set<std::string> &s)
{
    std::string out;
    for (const auto &x : s)
        out += x + " ";
    return out;
}

struct page_case {
    std::string program;
    std::vector<std::string> usage_args;
    int usage_stream;  // 1 stdout, 2 stderr
    std::string page;
    std::set<std::string> page_only;  // documented on purpose outside the usage text
};

TEST(ManPages, OptionListsMatchTheUsageTexts)
{
    const std::vector<page_case> cases = {
        // The daemon's synopsis (-V) is the fixed text its users' scripts know; its
        // help text is the one that lists every option.
        {"gui-connector", {"--help"}, 1, "man/gui-connector.8", {}},
        {"status-send", {"--help"}, 1, "man/status-send.1", {}},
        {"connector-client", {"--help"}, 1, "man/connector-client.1", {}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv{build_path(c.program)};
        argv.insert(argv.end(), c.usage_args.begin(), c.usage_args.end());
        std::string out, err;
        EXPECT_EQ(run_command(argv, &out, &err), 0) << c.program;
        // GNU style: the help's first line names the package, and so does --version
        // (the daemon's two version lines are fixed for the tools that read them).
        const std::string package = "(gui-connector) " GC_PACKAGE_VERSION;
        EXPECT_NE(out.substr(0, out.find('\n')).find(package), std::string::npos) << out;
        std::string version_out;
        if (c.program != "gui-connector") {
            EXPECT_EQ(run_command({argv[0], "--version"}, &version_out, &err), 0);
            EXPECT_EQ(version_out, c.program + " " + package + "\n");
        }
        std::set<std::string> usage = options_in(c.usage_stream == 1 ? out : err);
        ASSERT_FALSE(usage.empty()) << c.program << " printed no options";
        std::set<std::string> page = options_in(option_tags(GC_SOURCE_DIR "/" + c.page));
        for (const auto &o : c.page_only)
            EXPECT_EQ(page.erase(o), 1u) << c.page << " no longer documents " << o;
        EXPECT_EQ(join(page), join(usage))
            << c.page << " (left) against " << c.program << "'s usage (right)";
    }
}

}  // namespace
