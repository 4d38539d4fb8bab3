#pragma once
// The upgrade's status lines, in one table for every view: the dialog shows the Chinese text
// (translated by the window's language), brisk-dfu the one of its locale.

namespace brisk::dfu {

enum class Status {
  Starting,
  SearchingDevice,
  FileChecked,
  FileBad,
  DeviceFound,
  OpenFailed,
  SearchingPackage,
  PackageFound,
  DeviceOpened,
  Mismatch,
  NoPackage,
  LaunchFailed,
  Upgrading,
  Written,
  Verifying,
  Verified,
  Done,
  DoneNoRestart,
};
inline constexpr int kStatusCount = int(Status::DoneNoRestart) + 1;

struct StatusText {
  const char* chinese;
  const char* english;
};

const StatusText& TextOf(Status status);

}  // namespace brisk::dfu
