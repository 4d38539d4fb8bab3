#pragma once
// What the program and its window watch, and how long they wait for a tray; tests turn the
// watching off to drive device changes and suspend/resume themselves.
namespace brisk::app {

struct AppOptions {
  // How long to wait for a tray to appear before taking the no-tray path.
  int trayWaitMs = 10000;
  // Watch device changes and suspend/resume.
  bool watchDevices = true;
  bool watchSleep = true;
  // Started by the session's autostart, not by a person.
  bool autostarted = false;
};

}  // namespace brisk::app
