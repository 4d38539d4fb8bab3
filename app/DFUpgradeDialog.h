#pragma once
// The modal dialog "DFU升级" in which the reader's firmware is replaced: the window of the
// upgrade engine. Its one-shot timers start the engine's steps, which run one at a time on a
// step thread of their own, so that opening the device, reading its map, settling it and
// stopping an operation never block the window; what a step shows comes back to the window's
// thread. Its message boxes go through the window's prompt.
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
struct DfuStepCore;

class DFUpgradeDialog : public QDialog {
  Q_OBJECT
 public:
  // No parent window; prompt must outlive the dialog.
  explicit DFUpgradeDialog(Prompt& prompt);
  // Returns at once: a step or operation still running ends on the step thread.
  ~DFUpgradeDialog() override;

  // Before the dialog is shown, on the window's thread.
  void StartUpgrade(const std::string& path);
  void SetHasDFUDevice(int value);
  int FindDfuDevices();

  QString StatusText() const;
  QString SizeText() const;
  QString ProgressText() const;
  int Progress() const;
  bool TimerPending(int id) const;

  // What the engine shows, on the window's thread.
  void SetStatus(const std::string& text);
  void SetProgress(int percent);
  void SetProgressText(const std::string& text);
  void SetSizeText(const std::string& text);
  void ShowMessage(const std::string& text);
  // A failed operation: a failure status with its cause and what to do, the engine's reason on
  // the byte-count line, instead of the last progress text.
  void ShowFailure(const dfu::DfuFailure& failure);
  void StartTimer(int id, int periodMs);
  void StopTimer(int id);

  void done(int result) override;

 signals:
  void statusChanged(const QString& text);
  void sizeTextChanged(const QString& text);

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Ends the dialog's part: timers stopped, the engine closed on the step thread.
  void Release();

  Prompt& m_prompt;
  QLabel* m_Status = nullptr;
  QProgressBar* m_Progress = nullptr;
  QLabel* m_sizeLabel = nullptr;
  std::map<int, QTimer*> m_timers;
  bool m_started = false;
  bool m_closed = false;
  // The engine and its step thread; outlives the dialog while a step or a stop still runs.
  std::shared_ptr<DfuStepCore> m_core;
};

}  // namespace brisk::app
