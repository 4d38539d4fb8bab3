#pragma once
// The modal dialog "DFU升级" in which the reader's firmware is replaced: a view of an upgrade run
// (app/core/UpgradeRun.h), whose steps run on a worker of their own with the dialog's pauses
// between them. Its message boxes go through the window's prompt.
#include <QDialog>
#include <QString>
#include <memory>
#include <string>

#include "dfu/DfuUpgradeEngine.h"

class QLabel;
class QProgressBar;

namespace brisk::app {

class Prompt;
class UpgradeRun;

class DFUpgradeDialog : public QDialog {
  Q_OBJECT
 public:
  // No parent window; prompt must outlive the dialog. run: the upgrade it shows (it must
  // outlive the dialog), or none for one of its own.
  explicit DFUpgradeDialog(Prompt& prompt, UpgradeRun* run = nullptr);
  // Returns at once: a step or operation still running ends on the worker.
  ~DFUpgradeDialog() override;

  // Before the dialog is shown, on the window's thread.
  void StartUpgrade(const std::string& path);
  void SetHasDFUDevice(int value);
  int FindDfuDevices();

  QString StatusText() const;
  QString SizeText() const;
  QString ProgressText() const;
  int Progress() const;
  // Whether the sequence is in the pause before the step of timer id (dfu::DfuTimer), or runs
  // that step.
  bool TimerPending(int id) const;

  // What the engine shows, on the window's thread.
  void SetStatus(dfu::Status status);
  void SetProgress(int percent);
  void SetProgressText(const std::string& text);
  void SetSizeText(const std::string& text);
  void ShowMessage(const std::string& text);
  // A failed operation: a failure status with its cause and what to do, the engine's reason on
  // the byte-count line, instead of the last progress text.
  void ShowFailure(const dfu::DfuFailure& failure);

  void done(int result) override;

 signals:
  void statusChanged(const QString& text);
  void sizeTextChanged(const QString& text);

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ShowStatus(const QString& text);

  Prompt& m_prompt;
  QLabel* m_Status = nullptr;
  QProgressBar* m_Progress = nullptr;
  QLabel* m_sizeLabel = nullptr;
  std::unique_ptr<UpgradeRun> m_ownRun;
  UpgradeRun* m_run = nullptr;
};

}  // namespace brisk::app
