// Common fixture: a clean sandbox and a running fake daemon for every test.
#pragma once

#include "harness.h"

#include <gtest/gtest.h>

class TarvickTest : public testing::Test {
protected:
    void SetUp() override
    {
        sandbox_reset();
        daemon.start();
    }
    void TearDown() override { daemon.stop(); }

    // Runs the tool and returns the written document ("" when none).
    std::string generate(const std::string &type, const std::string &local_port = "1080",
                         const std::string &second_port = "1081", const std::string &proto = "tcp,udp")
    {
        last = run_tarvick({type, OUT, local_port, second_port, proto});
        return read_file(OUT);
    }

    static constexpr const char *OUT = "/tmp/out.json";
    FakeDaemon daemon;
    RunResult last;
};
