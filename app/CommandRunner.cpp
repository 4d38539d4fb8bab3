#include "app/CommandRunner.h"

#include <pthread.h>

namespace brisk::app {

CommandRunner::CommandRunner(QObject* parent) : QObject(parent) {
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

void CommandRunner::Post(std::function<void()> work, std::function<void()> apply) {
  if (m_outstanding++ == 0) emit busyChanged(true);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_queue.push_back({std::move(work), std::move(apply)});
  }
  m_wake.notify_all();
}

void CommandRunner::Applied() {
  if (--m_outstanding == 0) emit busyChanged(false);
}

void CommandRunner::Loop() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(m_lock);
      m_wake.wait(lock, [this] { return m_ending || !m_queue.empty(); });
      if (m_ending) return;
      job = std::move(m_queue.front());
      m_queue.pop_front();
    }
    job.work();
    {
      // Results go back through this queue and its lock, so that what the work wrote is
      // visibly handed to the window's thread; the queued call only wakes it.
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
  // The command is over: a box or dialog the result opens does not hold the window busy.
  Applied();
  apply();
}

}  // namespace brisk::app
