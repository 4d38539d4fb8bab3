#pragma once
// The modal dialog "DFU升级" in which the reader's firmware is replaced: the window of the
// upgrade engine. Its one-shot timers drive the engine's steps; its message boxes go through
// the window's prompt.
#include <QDialog>
#include <QString>
#include <map>
#include <memory>
#include <string>

#include "dfu/DfuUpgradeEngine.h"

class QLabel;
class QProgressBar;
class QTimer;

namespace brisk::app {

class Prompt;

class DFUpgradeDialog : public QDialog, public dfu::DfuView, public dfu::TimerScheduler {
  Q_OBJECT
 public:
  // No parent window; prompt must outlive the dialog.
  explicit DFUpgradeDialog(Prompt& prompt);
  ~DFUpgradeDialog() override;

  void StartUpgrade(const std::string& path) { m_engine->StartUpgrade(path); }
  void SetHasDFUDevice(int value) { m_engine->SetHasDFUDevice(value); }
  int FindDfuDevices() { return m_engine->FindDfuDevices(); }

  dfu::DfuUpgradeEngine& Engine() { return *m_engine; }
  QString StatusText() const;
  QString SizeText() const;
  QString ProgressText() const;
  int Progress() const;
  bool TimerPending(int id) const;

  // DfuView
  void SetStatus(const std::string& text) override;
  void SetProgress(int percent) override;
  void SetProgressText(const std::string& text) override;
  void SetSizeText(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  // A failed operation: a failure status with its cause and what to do, the engine's reason on
  // the byte-count line, instead of the last progress text.
  void ShowFailure(const dfu::DfuFailure& failure) override;
  // TimerScheduler
  void StartTimer(int id, int periodMs) override;
  void StopTimer(int id) override;

  void done(int result) override;

 signals:
  void statusChanged(const QString& text);
  void sizeTextChanged(const QString& text);

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  Prompt& m_prompt;
  QLabel* m_Status = nullptr;
  QProgressBar* m_Progress = nullptr;
  QLabel* m_sizeLabel = nullptr;
  std::map<int, QTimer*> m_timers;
  bool m_started = false;
  bool m_closed = false;
  // Last: it stops the timers above when it goes.
  std::unique_ptr<dfu::DfuUpgradeEngine> m_engine;
};

}  // namespace brisk::app
