// The signing library's process-wide state across fork(): a child whose parent had another thread
// inside a locked section finds the lock free, the folder lock given up and the log's buffer its
// own; a fork waits for the library's OpenSSL sections in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <dirent.h>

#include "cFolderLock.hpp"
#include "cFork.hpp"
#include "cLog.hpp"
#include "mirvo_test_support.hpp"

namespace {

// Another thread that takes something, holds it until the end of the scope, then gives it back.
class HeldElsewhere {
public:
    HeldElsewhere(std::function<void()> take, std::function<void()> give)
        : thread_([this, take, give] {
              take();
              held_ = true;
              while (!release_) usleep(200);
              give();
          }) {
        while (!held_) usleep(200);
    }
    ~HeldElsewhere() {
        release_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> held_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;
};

// Descriptors of this process open on the folder (from /proc/self/fd).
int descriptorsOn(const std::string& folder) {
    char real[PATH_MAX];
    if (!realpath(folder.c_str(), real)) return -1;
    int n = 0;
    DIR* fds = opendir("/proc/self/fd");
    for (struct dirent* e = readdir(fds); e != nullptr; e = readdir(fds)) {
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
        if (len > 0 && std::string(target, static_cast<size_t>(len)) == real) ++n;
    }
    closedir(fds);
    return n;
}

// Forks; the child runs check() and exits with its result (0 for success). The parent gets the
// child's exit code (mirvotest::kHung when it did not end within 5 seconds).
int inChild(const std::function<int()>& check) {
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) _exit(check());
    return child < 0 ? -100 : mirvotest::waitWithin(child, 5);
}

}  // namespace

TEST(Fork, AChildFindsTheMutexesOfOtherThreadsFreeAndKeepsItsOwn) {
    cForkSafeMutex theirs, mine;
    HeldElsewhere holder([&] { theirs.lock(); }, [&] { theirs.unlock(); });
    mine.lock();
    const uint32_t generation = cFork::generation();
    EXPECT_EQ(inChild([&] {
                  if (cFork::generation() != generation + 1) return 1;
                  if (!theirs.try_lock()) return 2;
                  theirs.unlock();
                  theirs.lock();  // and usable as before
                  theirs.unlock();
                  if (mine.try_lock()) return 3;  // the forking thread still holds its own
                  mine.unlock();
                  return mine.try_lock() ? 0 : 4;
              }),
              0);
    mine.unlock();
    EXPECT_EQ(cFork::generation(), generation);
}

TEST(Fork, AChildGivesUpTheFolderLockOfAnotherThreadButNotTheParentsHold) {
    mirvotest::TempDir dir;
    cFolderLock theirs;
    HeldElsewhere holder(
        [&] { ASSERT_EQ(theirs.lock(dir.path.c_str(), std::chrono::seconds(5)), cFolderLock::State::held); },
        [&] { theirs.unlock(); });
    EXPECT_EQ(descriptorsOn(dir.path), 1);
    EXPECT_EQ(inChild([&] {
                  // No descriptor of the parent's holder stays open in the child; the lock is still
                  // the parent's: the child's own attempt finds the folder busy.
                  if (descriptorsOn(dir.path) != 0) return 1;
                  cFolderLock own;
                  return own.lock(dir.path.c_str()) == cFolderLock::State::busy ? 0 : 2;
              }),
              0);
}

TEST(FolderLock, SerialisesProcessesAndLeavesNothingBehind) {
    mirvotest::TempDir dir;
    {
        cFolderLock held;
        ASSERT_EQ(held.lock(dir.path.c_str()), cFolderLock::State::held);
        EXPECT_EQ(inChild([&] {
                      cFolderLock other;
                      return other.lock(dir.path.c_str()) == cFolderLock::State::busy ? 0 : 1;
                  }),
                  0);
        held.unlock();
        EXPECT_EQ(inChild([&] {
                      cFolderLock other;
                      return other.lock(dir.path.c_str()) == cFolderLock::State::held ? 0 : 1;
                  }),
                  0);
    }
    DIR* d = opendir(dir.path.c_str());
    int entries = 0;
    for (struct dirent* e = readdir(d); e != nullptr; e = readdir(d)) entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 0);
    cFolderLock missing;
    EXPECT_EQ(missing.lock((dir / "missing").c_str(), std::chrono::seconds(5)), cFolderLock::State::unlocked);
}

TEST(Fork, WaitsForTheSectionsInOpenSslInFlight) {
    std::atomic<bool> inside{false}, left{false};
    std::thread section([&] {
        cForkGate gate;
        inside = true;
        usleep(200 * 1000);
        left = true;
    });
    while (!inside) usleep(200);
    // The child's memory is the parent's at the fork, which came after the section ended.
    EXPECT_EQ(inChild([&] { return left ? 0 : 1; }), 0);
    section.join();
    // A section nests on its thread, and a fork from inside one does not wait for itself.
    cForkGate outer;
    { cForkGate inner; }
    EXPECT_EQ(inChild([&] {
                  cForkGate again;
                  return 0;
              }),
              0);
}

TEST(Fork, AChildsLogBufferHoldsOnlyItsOwnLines) {
    cLog log;
    log.write("INFO", "parent line");
    EXPECT_EQ(inChild([&] {
                  log.write("INFO", "child line");
                  FILE* f = tmpfile();
                  log.flushBuffer(f);
                  rewind(f);
                  char text[512] = {0};
                  fread(text, 1, sizeof text - 1, f);
                  const std::string got(text);
                  return got.find("child line") != std::string::npos &&
                                 got.find("parent line") == std::string::npos
                             ? 0
                             : 1;
              }),
              0);
    ASSERT_TRUE(log.preOpenBuffer);
    EXPECT_NE(log.preOpenBuffer->find("parent line"), std::string::npos);
    EXPECT_EQ(log.preOpenBuffer->find("child line"), std::string::npos);
    log.preOpenBuffer.reset();
}

// A log whose file is never known keeps the latest whole records, at most kBufferMax bytes, and
// the text it moves out begins with a line that says how much was dropped.
TEST(Log, TheBufferKeepsTheLatestRecordsWithinItsBound) {
    cLog log;
    const std::string filler(100, 'x');
    const unsigned char bytes[40] = {0};
    int last = 0;
    for (int i = 0; log.droppedBytes() == 0 || i < 30000; ++i) {
        log.write("INFO", "line " + std::to_string(i) + " " + filler);
        if (i % 7 == 0) log.writeHex("dump", bytes, 40);  // rows of three lines, no head of their own
        last = i;
        ASSERT_LE(log.preOpenBuffer->size(), cLog::kBufferMax);
    }
    const std::string& text = *log.preOpenBuffer;
    EXPECT_GE(text.size(), cLog::kBufferKeep);
    EXPECT_TRUE(text[0] >= '0' && text[0] <= '9') << text.substr(0, 80);
    EXPECT_NE(text.find(" INFO line " + std::to_string(last) + " "), std::string::npos);
    EXPECT_EQ(text.find(" INFO line 0 "), std::string::npos);
    const size_t dropped = log.droppedBytes();

    FILE* f = tmpfile();
    log.flushBuffer(f);
    rewind(f);
    std::string moved;
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) moved.append(chunk, n);
    fclose(f);
    const std::string notice = moved.substr(0, moved.find('\n') + 1);
    EXPECT_NE(notice.find(" WARN " + std::to_string(dropped) +
                          " bytes of earlier lines dropped: the log keeps at most 524288 bytes in memory"
                          " until its file is known\n"),
              std::string::npos)
        << notice;
    EXPECT_EQ(moved.substr(notice.size()).find(" WARN "), std::string::npos);
}
