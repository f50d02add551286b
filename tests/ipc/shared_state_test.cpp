#include "ipc/shared_state.h"
#include "support/process.h"
#include "support/raw_record.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(SharedState, FirstCommandCreatesSetAndZeroBlockAndLaterOnesChangeNothing) {
    ASSERT_TRUE(semaphore_values().empty());
    ASSERT_EQ(run_tovk({"l"}).out, "0\n");

    EXPECT_EQ(semaphore_values(), std::vector<int>(7, 1));
    raw_record record;
    ASSERT_TRUE(record.attached());
    EXPECT_EQ(record.segment_size(), raw_offset::size);
    EXPECT_EQ(record.bytes(0, raw_offset::size), std::vector<std::uint8_t>(raw_offset::size, 0));

    // A token held by a pending packet stays held when the set is opened again.
    ASSERT_TRUE(semaphore_change(sem_packet, -1));
    ASSERT_EQ(run_tovk({"l"}).status, 0);
    EXPECT_EQ(semaphore_values(), (std::vector<int>{1, 1, 1, 1, 1, 1, 0}));
}

TEST(SharedState, SmallerBlockUnderTheKeyMakesEveryAttachFail) {
    raw_record small(64);
    ASSERT_TRUE(small.attached());
    process_result result = run_tovk({"l", "5"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(small.bytes(0, 64), std::vector<std::uint8_t>(64, 0));
}

// A holder killed with sem_state taken must not keep it: every lock is taken
// with an undo for the kernel to carry out.
TEST(SharedState, LocksOfKilledHoldersAreGivenBack) {
    ASSERT_EQ(run_tovk({"l"}).status, 0);
    pid_t holder = fork();
    if (holder == 0) {
        ipc_key = board_key();
        if (open_semaphores() && sem_lock(sem_state)) pause();
        _exit(1);
    }
    for (int tries = 0; tries < 1000 && semaphore_values()[sem_state] != 0; ++tries) usleep(10000);
    EXPECT_EQ(semaphore_values()[sem_state], 0) << "the holder took the lock";
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(semaphore_values()[sem_state], 1);
}

// A wait cut short by a signal holds nothing, so its owner must give nothing
// back: raising the lock would let a third process in beside the holder.
TEST(SharedState, LockOwnersGiveBackOnlyWhatTheyHold) {
    ASSERT_EQ(run_tovk({"l"}).status, 0);
    ipc_key = board_key();
    ASSERT_TRUE(open_semaphores());
    ASSERT_TRUE(semaphore_change(sem_state, -1));  // another holder

    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {};
    sigaction(SIGALRM, &interrupt, nullptr);  // no SA_RESTART: waits end with EINTR
    ualarm(100000, 100000);
    EXPECT_FALSE(held_lock::acquire(sem_state).held());
    EXPECT_FALSE(held_lock::acquire_within(sem_state, 50).held());
    EXPECT_EQ(semaphore_values()[sem_state], 0);

    pid_t holder = fork();
    if (holder == 0) {
        usleep(300000);
        _exit(semaphore_change(sem_state, +1) ? 0 : 1);
    }
    {
        held_lock lock = held_lock::acquire_through_signals(sem_state);
        EXPECT_TRUE(lock.held()) << "waits on through the signals until the holder lets go";
        EXPECT_EQ(semaphore_values()[sem_state], 0);
    }
    ualarm(0, 0);
    int status = -1;
    waitpid(holder, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(semaphore_values()[sem_state], 1);
}

}  // namespace
