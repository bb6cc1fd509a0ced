// `korvane stop` while agents, clients and Databases keep saying hello: the service stops in
// order, whatever its loops and pool workers are doing at that moment.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "mgr_server.h"

namespace {

class MgrStopServer : public testing::TestWithParam<const char *> {};

// Says hello again and again with fresh identities until told to stop; counts the answers.
void keep_saying_hello(unsigned port, const std::atomic<bool> &stop, std::atomic<uint64_t> &answers,
                       const std::function<Bytes(uint64_t)> &hello) {
    for (uint64_t i = 0; !stop.load(); i++) {
        FrameClient c(port);
        if (!c.connected() || !c.send({hello(i)}))
            continue;
        if (c.next(2000).has_value())
            answers.fetch_add(1);
    }
}

TEST_P(MgrStopServer, StopsInOrderUnderLoad) {
    const std::string mode = GetParam();
    ManagerServer srv(mode);
    srv.start({});
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> agents{0}, clients{0}, databases{0};
    std::vector<std::thread> load;
    for (int t = 0; t < 2; t++) {
        load.emplace_back(keep_saying_hello, srv.port(), std::cref(stop), std::ref(agents),
                          [t](uint64_t i) {
                              MgrAgentHello h;
                              h.label = "load-" + std::to_string(t) + "-" + std::to_string(i);
                              return h.message();
                          });
        load.emplace_back(keep_saying_hello, srv.port(), std::cref(stop), std::ref(clients),
                          [](uint64_t) { return login_hello("admin", "vendrix"); });
        if (mode == "manager")
            load.emplace_back(keep_saying_hello, srv.port(), std::cref(stop), std::ref(databases),
                              [t](uint64_t i) {
                                  return database_hello(nurl_wire(
                                      2, static_cast<uint16_t>(i), 0x0A000000 + static_cast<uint32_t>(t)));
                              });
    }
    const bool loaded = eventually(
        [&] {
            return agents.load() >= 10 && clients.load() >= 3 &&
                   (mode != "manager" || databases.load() >= 10);
        },
        30);
    const pid_t service = srv.service_pid();
    const int status = srv.stop();
    stop.store(true);
    for (std::thread &t : load)
        t.join();
    ASSERT_TRUE(loaded) << agents.load() << " " << clients.load() << " " << databases.load();
    EXPECT_EQ(status, 0);
    const std::string log = srv.log();
    EXPECT_NE(log.find("INFO   Korvane stopped."), std::string::npos) << log;
    EXPECT_NE(log.find("INFO   Process [" + std::to_string(service) + "] exited.\n"),
              std::string::npos);
    EXPECT_EQ(count_of(log, "created successfully"), 1u);
    for (const char *report : {"Sanitizer", "runtime error", "exited abnormally"})
        EXPECT_EQ(log.find(report), std::string::npos) << report;
}

INSTANTIATE_TEST_SUITE_P(Modes, MgrStopServer, testing::Values("manager", "standalone"));

} // namespace
