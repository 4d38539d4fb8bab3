#include "app/core/CommandRunner.h"

#include <pthread.h>

#include <algorithm>
#include <vector>

namespace brisk::app {

CommandRunner::CommandRunner(std::function<void()> interrupt, QObject* parent)
    : QObject(parent), m_interrupt(std::move(interrupt)) {
  m_thread = std::thread(&CommandRunner::Loop, this);
  pthread_setname_np(m_thread.native_handle(), "brisk-command");
}

CommandRunner::~CommandRunner() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_ending = true;
    m_queue.clear();
    m_done.clear();
  }
  m_wake.notify_all();
  m_thread.join();
  // Results not delivered yet are dropped with this object.
}

void CommandRunner::Post(std::function<void()> work, std::function<void()> apply,
                         std::function<void()> dropped, Kind kind) {
  if (kind == Kind::Command && m_sealed) {
    if (dropped) dropped();
    return;
  }
  if (m_outstanding++ == 0) emit busyChanged(true);
  std::vector<std::function<void()>> overtaken;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (kind == Kind::Stop) {
      // Waiting commands give way; the stops among them keep their order.
      std::deque<Job> stops;
      for (Job& job : m_queue) {
        if (job.kind == Kind::Stop)
          stops.push_back(std::move(job));
        else
          overtaken.push_back(std::move(job.dropped));
      }
      m_queue = std::move(stops);
      // Under the lock: the worker cannot have moved on to a stop meanwhile, whose commands
      // the interruption would fail.
      if (m_running == Kind::Command && m_interrupt) m_interrupt();
    }
    m_queue.push_back({std::move(work), std::move(apply), std::move(dropped), kind});
  }
  m_wake.notify_all();
  for (std::function<void()>& drop : overtaken) {
    Applied();
    if (drop) drop();
  }
}

void CommandRunner::Applied() {
  if (--m_outstanding == 0) emit busyChanged(false);
}

void CommandRunner::Loop() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(m_lock);
      m_running.reset();
      m_wake.wait(lock, [this] { return m_ending || !m_queue.empty(); });
      if (m_ending) return;
      job = std::move(m_queue.front());
      m_queue.pop_front();
      m_running = job.kind;
    }
    job.work();
    {
      // Results go back through this queue and its lock, so that what the work wrote is
      // visibly handed to the owner's thread; the queued call only wakes it.
      std::lock_guard<std::mutex> guard(m_lock);
      m_done.push_back(std::move(job.apply));
    }
    // By name: the call's record is then built and read inside Qt alone.
    QMetaObject::invokeMethod(this, "Deliver", Qt::QueuedConnection);
  }
}

void CommandRunner::Deliver() {
  std::function<void()> apply;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_done.empty()) return;
    apply = std::move(m_done.front());
    m_done.pop_front();
  }
  // The command is over: a box or dialog the result opens does not hold the program busy.
  Applied();
  apply();
}

}  // namespace brisk::app
