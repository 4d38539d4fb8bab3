#pragma once
// Radio groups whose value may lie outside their buttons.
#include <QAbstractButton>
#include <QButtonGroup>

namespace brisk::app {

// Checks the button of value in an exclusive group; none for a value outside it.
inline void SetButtonGroup(QButtonGroup* group, int value) {
  if (QAbstractButton* b = group->button(value)) {
    b->setChecked(true);
    return;
  }
  group->setExclusive(false);
  for (QAbstractButton* b : group->buttons()) b->setChecked(false);
  group->setExclusive(true);
}

}  // namespace brisk::app
