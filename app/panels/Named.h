#pragma once
// A window control gets its object name from the id table, the one place ids and names meet.
#include <QString>

#include "app/ControlIds.h"

namespace brisk::app {

template <typename T>
T* Named(int id, T* widget) {
  widget->setObjectName(QString::fromLatin1(ControlObjectName(kWindowControls, id)));
  return widget;
}

}  // namespace brisk::app
