// libnvapi32.so as applications load it: by name at run time, nine plain C names and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dlfcn.h>

#include "api/nvapi32.h"
#include "api/tests/support.h"

namespace {

const std::set<std::string> EXPORTS = {"NuvraBegin",         "NuvraEnd",           "NuvraCommandAnswer",
                                       "NuvraConnect",       "NuvraDisconnect",    "NuvraSetHwnd",
                                       "NuvraSetEventHandler", "NuvraErrorShowMsgBox", "NuvraTcpIpEvent"};

using SharedObjectTest = apitest::ApiTest;

TEST_F(SharedObjectTest, DynamicSymbolTableHoldsExactlyTheExports) {
    std::FILE* nm = popen("nm -D --defined-only " NVAPI32_SO " 2>/dev/null", "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> defined;
    char line[512];
    while (std::fgets(line, sizeof line, nm)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            defined.insert(name);
    }
    if (pclose(nm) != 0 && defined.empty())
        GTEST_SKIP() << "nm is not available";
    EXPECT_EQ(defined, EXPORTS);
}

TEST_F(SharedObjectTest, BoundByNameAndCalled) {
    void* library = dlopen(NVAPI32_SO, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const std::string& name : EXPORTS)
        EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;
    EXPECT_EQ(dlsym(library, "ApiTrace"), nullptr);
    auto connect = reinterpret_cast<decltype(&NuvraConnect)>(dlsym(library, "NuvraConnect"));
    auto command_answer = reinterpret_cast<decltype(&NuvraCommandAnswer)>(dlsym(library, "NuvraCommandAnswer"));
    ASSERT_TRUE(connect && command_answer);
    EXPECT_EQ(connect("FILE"), 1);
    char answer[8] = "old";
    EXPECT_EQ(command_answer("GV", 3, answer, sizeof answer), 1);
    EXPECT_STREQ(answer, "");
    EXPECT_EQ(dlclose(library), 0);
}

TEST_F(SharedObjectTest, UnloadingEndsTheTransportAndItsListener) {
    apitest::FakeHost host(apitest::echo_handler());
    int event_port = apitest::free_udp_port();
    write_settings("TCP_IP,127.0.0.1," + std::to_string(host.port()) + "," + std::to_string(event_port));
    void* library = dlopen(NVAPI32_SO, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto begin = reinterpret_cast<decltype(&NuvraBegin)>(dlsym(library, "NuvraBegin"));
    ASSERT_NE(begin, nullptr);
    ASSERT_EQ(begin(), 1); // the implicit path: transport, connection and event listener
    EXPECT_EQ(dlclose(library), 0);
    // The listener's socket is closed and its thread gone with the library.
    platform::Socket s = platform::socket_datagram();
    EXPECT_EQ(platform::socket_bind(s, platform::IPV4_ANY, event_port), 0);
    platform::socket_close(s);
    std::vector<std::string> lines = trace();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "NuvraBegin");
    EXPECT_EQ(lines.back(), "DllEntryPoint, DLL_PROCESS_DETACH");
}

} // namespace
