#include "ipc/shared_state.h"
#include "support/process.h"
#include "support/raw_record.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(LevelCommand, StoresAnyNumberAndShowsTheStoredLevel) {
    process_result fresh = run_tovk({"l"});
    EXPECT_EQ(fresh.status, 0);
    EXPECT_EQ(fresh.out, "0\n");

    for (const auto& [word, shown] : std::vector<std::pair<std::string, std::string>>{
             {"9", "9\n"}, {"42", "42\n"}, {" -1", "-1\n"}, {"3rd", "3\n"}}) {
        process_result set = run_tovk({"l", word});
        EXPECT_EQ(set.status, 0) << word;
        EXPECT_EQ(set.out, shown) << word;
        EXPECT_EQ(run_tovk({"l"}).out, shown) << word;
    }
    raw_record record;
    EXPECT_EQ(record.i32(raw_offset::zlevel), 3);
}

TEST(LevelCommand, RejectedLevelPrintsUsageAndKeepsTheLevel) {
    ASSERT_EQ(run_tovk({"l", "6"}).status, 0);
    for (const char* word : {"abc", "", "-", "2147483648"}) {
        process_result rejected = run_tovk({"l", word});
        EXPECT_EQ(rejected.status, 1) << word;
        EXPECT_EQ(rejected.out.rfind("Concentrator hardware management daemon\n", 0), 0u) << word;
    }
    EXPECT_EQ(run_tovk({"l"}).out, "6\n");
}

// What tells every command that a service lives: its locked pid file.
void claim_pid_file() {
    int file = open("/run/tovk.pid", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (file == -1 || flock(file, LOCK_EX) != 0) _exit(3);
}

// Plays the service's part of a stop: alive while it runs, acknowledges
// with stopped only after a pass that takes a while.
pid_t spawn_fake_service(int pass_ms) {
    pid_t pid = fork();
    if (pid == 0) {
        claim_pid_file();
        raw_record record;
        record.set_u8(raw_offset::running, 1);
        while (record.u8(raw_offset::running) != 0) usleep(1000);
        usleep(static_cast<useconds_t>(pass_ms) * 1000);
        record.set_u8(raw_offset::stopped, 1);
        _exit(0);
    }
    return pid;
}

TEST(StopCommand, ReturnsAtOnceWithoutAService) {
    process_result result = run_tovk({"r"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

void wait_for_running(std::uint8_t value) {
    raw_record record;
    while (record.u8(raw_offset::running) != value) usleep(1000);
}

// The test itself stays detached while r runs, so that only a service can
// keep the record attached.
TEST(StopCommand, WaitsForALiveServiceHoweverSlowItsPass) {
    raw_record(raw_offset::size).set_u8(raw_offset::stopped, 1);  // left from an earlier stop
    pid_t service = spawn_fake_service(1500);
    wait_for_running(1);

    process_result result = run_tovk({"r"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(raw_record().u8(raw_offset::stopped), 1) << "r returned before the service acknowledged";
    int wait_status = 0;
    EXPECT_EQ(waitpid(service, &wait_status, 0), service);
}

TEST(StopCommand, KilledServiceIsNoticedAndItsStaleFlagsCleared) {
    { raw_record created(raw_offset::size); }
    pid_t service = fork();
    if (service == 0) {
        claim_pid_file();
        raw_record own;
        own.set_u8(raw_offset::running, 1);
        pause();
        _exit(0);
    }
    wait_for_running(1);
    kill(service, SIGKILL);
    waitpid(service, nullptr, 0);

    child_process stop(tovk_path(), {"tovk", "r"});
    std::optional<process_result> result = stop.finish(std::chrono::seconds(10));
    ASSERT_TRUE(result) << "r kept waiting for a dead service";
    EXPECT_EQ(result->status, 0);
    EXPECT_NE(result->err.find("stale"), std::string::npos);
    raw_record record;
    EXPECT_EQ(record.u8(raw_offset::running), 0);
    EXPECT_EQ(record.u8(raw_offset::stopped), 1);
}

// Processes that wait with the record attached (a p for the slot, a d for
// readings) are no service: a stale running flag is cleared at once.
TEST(StopCommand, DeadServiceIsToldAtOnceBesideOtherWaiters) {
    {
        raw_record created(raw_offset::size);
        created.set_u8(raw_offset::running, 1);
    }
    ASSERT_EQ(run_tovk({"l"}).status, 0);
    ASSERT_TRUE(semaphore_change(sem_packet, -1));  // a packet waits, so p waits for the slot
    child_process packet(tovk_path(), {"tovk", "p", "1", "x"});
    child_process dump(tovk_path(), {"tovk", "d"});
    usleep(200000);

    child_process stop(tovk_path(), {"tovk", "r"});
    std::optional<process_result> result = stop.finish(std::chrono::seconds(3));
    ASSERT_TRUE(result) << "r waited for a service that is not there";
    EXPECT_EQ(result->status, 0);
    EXPECT_NE(result->err.find("stale"), std::string::npos);
    packet.signal(SIGKILL);
}

// Two dumps and no service: each gives up on its own, with its message.
TEST(InfoDump, DumpsWithoutAServiceGiveUpBesideEachOther) {
    child_process first(tovk_path(), {"tovk", "d"});
    child_process second(tovk_path(), {"tovk", "d"});
    for (child_process* dump : {&first, &second}) {
        std::optional<process_result> result = dump->finish(std::chrono::seconds(15));
        ASSERT_TRUE(result) << "one dump kept the other waiting";
        EXPECT_EQ(result->status, 1);
        EXPECT_NE(result->err.find("no service is running"), std::string::npos);
    }
}

// A live service that takes its time: a stop signal ends the wait of r and
// of d as a failure, and leaves the service alone.
TEST(StopCommand, StopSignalEndsTheWaitOfStopAndDump) {
    raw_record(raw_offset::size).set_u8(raw_offset::stopped, 1);
    pid_t service = spawn_fake_service(60000);
    wait_for_running(1);
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
