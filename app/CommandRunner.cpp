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
  }
  m_wake.notify_all();
  m_thread.join();
  // Results posted meanwhile are dropped with this object.
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
    QMetaObject::invokeMethod(
        this,
        [this, apply = std::move(job.apply)]() mutable {
          // The command is over: a box or dialog the result opens does not hold the window
          // busy.
          Applied();
          apply();
        },
        Qt::QueuedConnection);
  }
}

}  // namespace brisk::app
