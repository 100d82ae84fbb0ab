// mail_dates_test.cpp: the Date headers of the mail messages in python3's own test suite, read by
// Rfc822ToDate and by email.utils.parsedate_tz: both must find the same instant.
#include <dirent.h>

#include <algorithm>
#include <sstream>

#include "support/files.h"
#include "support/peer.h"
#include "time_support.h"

namespace zor::test {
namespace {

TEST(MailDates, PythonTestMessagesReadAsParsedateTzReadsThem) {
    const std::string folder = PythonTestData("test_email/data");
    ASSERT_FALSE(folder.empty()) << "python3's test suite is not installed (scripts/deps installs it)";
    std::vector<std::string> texts;
    DIR* dir = opendir(folder.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind("msg_", 0) != 0) continue;
        std::istringstream message(ReadFile(folder + "/" + name));
        for (std::string line; std::getline(message, line);) {  // nested messages carry headers too
            if (line.rfind("Date: ", 0) != 0) continue;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            texts.push_back(line.substr(6));
        }
    }
    closedir(dir);
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    ASSERT_GE(texts.size(), 20u);

    const std::vector<int32_t> python = ParsedateTzInstants(texts);
    ASSERT_EQ(python.size(), texts.size()) << "python3 did not answer for every header";
    PluginHost host;
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(Rfc822ToDate(host, texts[i]), python[i]) << texts[i];
}

}  // namespace
}  // namespace zor::test
