// resources_test.cpp: named resources read from a resource file written by resources/mkrsrc.py.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "host/resources.h"
#include "support/plugin_host.h"

namespace zor::test {
namespace {

class Resources : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zor-rsrc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        Write("alpha.bin", std::string("\x00\x01\x02\xFF", 4));
        Write("beta.bin", std::string(300, 'b'));
        Write("empty.bin", "");
        Write("list", "# test\nTEST Alpha alpha.bin\nTEST Beta beta.bin\nOTHR Alpha beta.bin\nTEST Empty empty.bin\n");
        const std::string command = "python3 " ZOR_SOURCE_DIR "/resources/mkrsrc.py " + folder_ + "/list " + folder_ + "/test.rsrc";
        ASSERT_EQ(std::system(command.c_str()), 0);
        HostSetResourcePath((folder_ + "/test.rsrc").c_str());
    }
    void TearDown() override {
        HostSetResourcePath(nullptr);
        std::system(("rm -rf " + folder_).c_str());
    }
    void Write(const std::string& name, const std::string& bytes) {
        std::ofstream(folder_ + "/" + name, std::ios::binary) << bytes;
    }
    std::string folder_;
};

TEST_F(Resources, FoundByTypeAndName) {
    HostHandle alpha = HostGetNamedResource(HostResourceType("TEST"), Str255("Alpha").bytes);
    ASSERT_NE(alpha, nullptr);
    EXPECT_EQ(HandleBytes(alpha), std::string("\x00\x01\x02\xFF", 4));
    EXPECT_EQ(HostGetNamedResource(HostResourceType("TEST"), Str255("Alpha").bytes), alpha) << "the layer keeps it";
    EXPECT_EQ(HandleBytes(HostGetNamedResource(HostResourceType("OTHR"), Str255("Alpha").bytes)), std::string(300, 'b'));
    EXPECT_EQ(HandleBytes(HostGetNamedResource(HostResourceType("TEST"), Str255("Beta").bytes)), std::string(300, 'b'));
    HostHandle empty = HostGetNamedResource(HostResourceType("TEST"), Str255("Empty").bytes);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(HostGetHandleSize(empty), 0);
}

TEST_F(Resources, MissingOnesGiveNull) {
    EXPECT_EQ(HostGetNamedResource(HostResourceType("TEST"), Str255("alpha").bytes), nullptr) << "names are exact";
    EXPECT_EQ(HostGetNamedResource(HostResourceType("NONE"), Str255("Alpha").bytes), nullptr);
    EXPECT_EQ(HostGetNamedResource(HostResourceType("TEST"), Str255("Gamma").bytes), nullptr);
    HostSetResourcePath("/nonexistent/zor.rsrc");
    EXPECT_EQ(HostGetNamedResource(HostResourceType("TEST"), Str255("Beta").bytes), nullptr);
}

TEST_F(Resources, DamagedFilesNeverReadOutside) {
    std::ifstream in(folder_ + "/test.rsrc", std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Str255 name("Beta");
    size_t offset = 0, length = 0;
    ASSERT_TRUE(host::FindResource(reinterpret_cast<const unsigned char*>(file.data()), file.size(),
                                   HostResourceType("TEST"), name.bytes, offset, length));
    for (size_t cut = 0; cut < file.size(); ++cut) {
        std::string part = file.substr(0, cut);
        // An exact-size copy, so reading past it is caught by the sanitizer build.
        auto* bytes = new unsigned char[cut + 1];
        std::copy(part.begin(), part.end(), bytes);
        (void)host::FindResource(bytes, cut, HostResourceType("TEST"), name.bytes, offset, length);
        delete[] bytes;
    }
    for (size_t at = 0; at < file.size(); ++at) {
        std::string flipped = file;
        flipped[at] = static_cast<char>(flipped[at] ^ 0xFF);
        if (host::FindResource(reinterpret_cast<const unsigned char*>(flipped.data()), flipped.size(),
                               HostResourceType("TEST"), name.bytes, offset, length)) {
            EXPECT_LE(offset + length, flipped.size());
        }
    }
}

}  // namespace
}  // namespace zor::test
