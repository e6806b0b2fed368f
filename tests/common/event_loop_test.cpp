// EventLoop: work handed to the loop thread, and what happens to work handed
// over before the loop starts, while it stops, and after it has stopped; stop
// and destruction asked from the loop's own thread.
#include <sys/syscall.h>
#include <event2/bufferevent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/event_handles.h"
#include "common/event_loop.h"
#include "support/recording_handle.h"

namespace qc = com::quor::kbr::client;
using qel_test::Eventually;
using std::chrono::milliseconds;

namespace {

// Whether the thread with this kernel thread id is still listed in the process.
bool ThreadListed(pid_t tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

}  // namespace

TEST(EventLoop, WithoutALoopCallRunsOnTheCallerAndPostIsRefused) {
  qc::EventLoop loop;
  EXPECT_FALSE(loop.Post([] {}));
  EXPECT_EQ(loop.Call([] { return std::this_thread::get_id(); }), std::this_thread::get_id());
  EXPECT_EQ(loop.Call([&] { return loop.Call([] { return 7; }); }), 7) << "nested calls run too";
  EXPECT_FALSE(qc::EventLoop::OnAnyLoopThread());
}

TEST(EventLoop, RunningLoopRunsWorkOnItsThreadInHandOverOrder) {
  qc::EventLoop loop;
  ASSERT_TRUE(loop.Start());
  ASSERT_NE(loop.base(), nullptr);
  std::vector<int> order;  // touched on the loop thread only
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(loop.Post([&order, i] { order.push_back(i); }));
  const std::thread::id loop_id = loop.Call([&] {
    EXPECT_TRUE(loop.InLoopThread());
    EXPECT_TRUE(qc::EventLoop::OnAnyLoopThread());
    EXPECT_EQ(loop.Call([] { return 3; }), 3) << "a call from the loop thread runs at once";
    return std::this_thread::get_id();
  });
  EXPECT_NE(loop_id, std::this_thread::get_id());
  EXPECT_FALSE(loop.InLoopThread());
  const std::vector<int> seen = loop.Call([&] { return order; });
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_TRUE(loop.Stop());
}

TEST(EventLoop, StopFromTheLoopThreadIsRefusedStopFromOutsideRunsTheLastWorkThere) {
  qc::EventLoop loop;
  ASSERT_TRUE(loop.Start());
  EXPECT_FALSE(loop.Call([&] { return loop.Stop(); })) << "the loop cannot join itself";
  EXPECT_EQ(loop.Call([] { return 5; }), 5) << "still running after the refused stop";
  std::thread::id last_work_on;
  EXPECT_TRUE(loop.Stop([&] { last_work_on = std::this_thread::get_id(); }));
  EXPECT_NE(last_work_on, std::this_thread::get_id());
  EXPECT_NE(last_work_on, std::thread::id());
  EXPECT_EQ(loop.base(), nullptr);
  EXPECT_FALSE(loop.Post([] {}));
  EXPECT_EQ(loop.Call([] { return std::this_thread::get_id(); }), std::this_thread::get_id());
  EXPECT_TRUE(loop.Stop()) << "a second stop does nothing";
}

// Every call handed over around a stop runs exactly once, and none waits
// forever: before the stop on the loop thread, afterwards on the caller's.
TEST(EventLoop, CallsRacingAStopEachRunOnce) {
  for (int round = 0; round < 20; ++round) {
    qc::EventLoop loop;
    ASSERT_TRUE(loop.Start());
    std::atomic<int> ran{0};
    std::atomic<int> made{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
      callers.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
          loop.Call([&] { ++ran; });
          ++made;
        }
      });
    }
    std::this_thread::yield();
    loop.Stop();
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(made.load(), 800);
    EXPECT_EQ(ran.load(), 800);
  }
}

TEST(EventLoop, DestroyedOnItsOwnThreadEndsTheThreadByItself) {
  // The loop thread is followed by its kernel thread id: a count of the
  // process's threads could include a thread that was joined but is still
  // being removed by the kernel.
  auto loop = std::make_unique<qc::EventLoop>();
  ASSERT_TRUE(loop.get()->Start());
  qc::EventLoop* raw = loop.get();
  const pid_t loop_tid = raw->Call([] { return static_cast<pid_t>(syscall(SYS_gettid)); });
  ASSERT_TRUE(ThreadListed(loop_tid));
  std::atomic<bool> destroyed{false};
  ASSERT_TRUE(raw->Post([&] {
    loop.reset();  // from the loop's own thread
    destroyed = true;
  }));
  ASSERT_TRUE(Eventually([&] { return destroyed.load(); }, milliseconds(10000)));
  EXPECT_TRUE(Eventually([&] { return !ThreadListed(loop_tid); }, milliseconds(10000)))
      << "the loop thread frees its base and ends";
}

// A bufferevent with deferred callbacks holds a reference on itself while a
// callback waits in the loop's queue. Freed by the loop's last work, it is
// released only when that callback has run: the stopping loop must run it
// before the base goes, or the bufferevent (and its socket, its TLS object)
// is never freed. The socket closing shows the bufferevent really went.
TEST(EventLoop, BufferEventFreedByTheLastWorkIsReleasedDespiteAPendingDeferredCallback) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  const int peer = fds[1];
  {
    qc::EventLoop loop;
    ASSERT_TRUE(loop.Start());
    bufferevent* bev = loop.Call([&] {
      bufferevent* made =
          bufferevent_socket_new(loop.base(), fds[0], BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
      bufferevent_setcb(made, [](bufferevent*, void*) {}, nullptr, nullptr, nullptr);
      return made;
    });
    ASSERT_NE(bev, nullptr);
    EXPECT_TRUE(loop.Stop([bev] {
      // Queues the deferred read callback, then frees: the callback's
      // reference now keeps the bufferevent alive until it runs.
      bufferevent_trigger(bev, EV_READ, BEV_TRIG_IGNORE_WATERMARKS | BEV_TRIG_DEFER_CALLBACKS);
      bufferevent_free(bev);
    }));
  }
  char byte = 0;
  const ssize_t got = recv(peer, &byte, 1, MSG_DONTWAIT);
  const int err = errno;
  EXPECT_EQ(got, 0) << "the bufferevent's socket is still open (recv errno " << err << ")";
  close(peer);
}
