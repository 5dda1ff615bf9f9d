// The verifier's rule table (docs/verifier-rules.md) and the sources agree:
// every rule name the stand-in and the simulated PC report is in the table,
// every rule of the table is reported somewhere, and every row names the
// check it mirrors and a test that makes it fire, a test that exists.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// Every C++ source under the folder, one after the other.
std::string Sources(const char *folder)
{
    std::string all;
    for (const auto &entry : fs::recursive_directory_iterator(fs::path(TOLMU_SOURCE_DIR) / folder)) {
        std::string ext = entry.path().extension().string();
        if (ext == ".cpp" || ext == ".h")
            all += testsupport::ReadFile(entry.path());
    }
    return all;
}

// Names in ReportFinding("NAME", ...) and in the hardware judge's rule
// constants (kRule... = "NAME"), over every source of standin/ and sim/.
std::set<std::string> ReportedRules()
{
    const std::regex reported(R"(ReportFinding\(\s*"([A-Z0-9_]+)\")");
    const std::regex constant(R"(kRule\w*\s*=\s*"([A-Z0-9_]+)\")");
    std::set<std::string> names;
    for (const char *folder : {"host/standin", "host/sim"}) {
        std::string text = Sources(folder);
        for (const std::regex *re : {&reported, &constant})
            for (std::sregex_iterator it(text.begin(), text.end(), *re), end; it != end; ++it)
                names.insert((*it)[1]);
    }
    return names;
}

struct TableRow {
    std::string rule, check, catches, test;
};

std::vector<TableRow> TableRows()
{
    std::vector<TableRow> rows;
    std::istringstream doc(testsupport::ReadFile(fs::path(TOLMU_SOURCE_DIR) / "docs" / "verifier-rules.md"));
    const std::regex row(R"(^\| `([A-Z0-9_]+)` \|([^|]*)\|([^|]*)\|([^|]*)\|\s*$)");
    std::string line;
    std::smatch m;
    while (std::getline(doc, line))
        if (std::regex_match(line, m, row))
            rows.push_back(TableRow{m[1], m[2], m[3], m[4]});
    return rows;
}

TEST(RuleTable, EveryReportedRuleIsInTheTableAndEveryRowIsReportedAndTested)
{
    std::set<std::string> reported = ReportedRules();
    std::vector<TableRow> rows = TableRows();
    ASSERT_GT(reported.size(), 40u) << "the sources were not found under " << TOLMU_SOURCE_DIR;
    std::set<std::string> documented;
    for (const TableRow &r : rows) {
        EXPECT_TRUE(documented.insert(r.rule).second) << r.rule << " has two rows";
        for (const std::string *column : {&r.check, &r.catches, &r.test})
            EXPECT_NE(column->find_first_not_of(' '), std::string::npos) << r.rule << ": an empty column";
    }
    for (const std::string &rule : reported)
        EXPECT_EQ(documented.count(rule), 1u) << rule << " is reported but not in docs/verifier-rules.md";
    for (const std::string &rule : documented)
        EXPECT_EQ(reported.count(rule), 1u) << rule << " is in docs/verifier-rules.md but never reported";
    // A test named in backquotes (its last part after '.' or '/') and a table
    // row named in double quotes are found in the sources under tests/.
    std::string tests = Sources("tests");
    const std::regex quoted(R"re(`([^`]+)`|("[^"]+"))re");
    for (const TableRow &r : rows) {
        for (std::sregex_iterator it(r.test.begin(), r.test.end(), quoted), end; it != end; ++it) {
            std::string name = (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
            if ((*it)[1].matched && name.find_last_of("./") != std::string::npos)
                name = name.substr(name.find_last_of("./") + 1);
            EXPECT_NE(tests.find(name), std::string::npos) << r.rule << ": no test " << name << " under tests/";
        }
    }
}

} // namespace
