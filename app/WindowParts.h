#pragma once
// Small pieces the window's files share.
#include <QIcon>
#include <QString>

class QButtonGroup;

namespace brisk::app {

// Checks the button of value in an exclusive group; none for a value outside it.
void SetButtonGroup(QButtonGroup* group, int value);

// One of the program's icons by its theme name, drawn from its SVG at any size.
QIcon LoadIcon(const QString& name);

}  // namespace brisk::app
