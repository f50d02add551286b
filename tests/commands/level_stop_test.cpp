#include "ipc/service_claim.h"
#include "ipc/shared_state.h"
#include "support/process.h"
#include "support/raw_record.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

namespace {

// Plays the service's part of a stop: holds the service's claim while it
// runs, sets running only after a start-up that takes `start_ms` (so a clear
// before it is overwritten), and acknowledges with stopped only after a pass
// that takes `pass_ms`.
pid_t spawn_fake_service(int pass_ms, int start_ms = 0) {
    pid_t pid = fork();
    if (pid == 0) {
        service_claim claim;
        if (!claim.claimed()) _exit(3);
        raw_record record;
        usleep(static_cast<useconds_t>(start_ms) * 1000);
        record.set_u8(raw_offset::running, 1);
        while (record.u8(raw_offset::running) != 0) usleep(1000);
        usleep(static_cast<useconds_t>(pass_ms) * 1000);
        claim.release();
        record.set_u8(raw_offset::stopped, 1);
        _exit(0);
    }
    while (!service_alive()) usleep(1000);
    return pid;
}

// The test itself stays detached while r runs, so that only a service can
// keep the record attached.
TEST(StopCommand, ReturnsAtOnceWithoutAServiceAndWaitsForALiveOneHoweverSlowItsPass) {
    process_result alone = run_tovk({"r"});
    EXPECT_EQ(alone.status, 0);
    EXPECT_EQ(alone.out + alone.err, "");

    // Stopping a service while it starts, and a second r while the first
    // waits: each returns only once the service has acknowledged.
    for (int start_ms : {0, 300}) {
        raw_record(raw_offset::size).set_u8(raw_offset::stopped, 1);  // left from an earlier stop
        pid_t service = spawn_fake_service(1500, start_ms);
        auto began = std::chrono::steady_clock::now();
        child_process first(tovk_path(), {"tovk", "r"});
        usleep(200000);
        child_process second(tovk_path(), {"tovk", "r"});
        for (child_process* stop : {&first, &second}) {
            std::optional<process_result> result = stop->finish(std::chrono::seconds(10));
            ASSERT_TRUE(result) << "r waited on after the service had stopped";
            EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1500 + start_ms))
                << "r returned before the service acknowledged";
            EXPECT_EQ(result->status, 0);
            EXPECT_EQ(result->err, "");
        }
        EXPECT_EQ(waitpid(service, nullptr, 0), service);
    }
}

// A killed service leaves its running flag and its pid file; the
// processes that wait with the record attached (a p for the slot, two d for
// readings) are no service either: the stale flag is cleared at once, and
// each dump gives up on its own.
TEST(StopCommand, DeadServiceIsToldAtOnceBesideOtherWaiters) {
    close(open(service_pid_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    raw_record(raw_offset::size).set_u8(raw_offset::running, 1);
    ASSERT_EQ(run_tovk({"l"}).status, 0);
    ASSERT_TRUE(semaphore_change(sem_packet, -1));  // a packet waits, so p waits for the slot
    child_process packet(tovk_path(), {"tovk", "p", "1", "x"});
    child_process first(tovk_path(), {"tovk", "d"});
    child_process second(tovk_path(), {"tovk", "d"});
    usleep(200000);

    std::optional<process_result> result = child_process(tovk_path(), {"tovk", "r"}).finish(std::chrono::seconds(3));
    ASSERT_TRUE(result) << "r waited for a service that is not there";
    EXPECT_EQ(result->status, 0);
    EXPECT_NE(result->err.find("stale"), std::string::npos);
    raw_record record;
    EXPECT_EQ(record.u8(raw_offset::running), 0);
    EXPECT_EQ(record.u8(raw_offset::stopped), 1);
    for (child_process* dump : {&first, &second}) {
        std::optional<process_result> dumped = dump->finish(std::chrono::seconds(15));
        ASSERT_TRUE(dumped) << "one dump kept the other waiting";
        EXPECT_EQ(dumped->status, 1);
        EXPECT_EQ(dumped->out, "");
        EXPECT_NE(dumped->err.find("no service is running"), std::string::npos);
    }
    packet.signal(SIGKILL);
}

// A live service that takes its time: a stop signal ends the wait of r and
// of d as a failure, and leaves the service alone.
TEST(StopCommand, StopSignalEndsTheWaitOfStopAndDump) {
    raw_record(raw_offset::size).set_u8(raw_offset::stopped, 1);
    pid_t service = spawn_fake_service(60000);
    child_process stop(tovk_path(), {"tovk", "r"});
    child_process dump(tovk_path(), {"tovk", "d"});
    usleep(300000);
    for (child_process* waiting : {&stop, &dump}) {
        EXPECT_TRUE(waiting->running());
        waiting->signal(SIGTERM);
        std::optional<process_result> result = waiting->finish(std::chrono::seconds(5));
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 1);
    }
    kill(service, SIGKILL);
    waitpid(service, nullptr, 0);
}

}  // namespace
