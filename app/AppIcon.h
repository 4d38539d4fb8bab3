#pragma once
// The program's icons.
#include <QIcon>
#include <QString>

namespace brisk::app {

// One of the program's icons by its theme name, drawn from its SVG at any size.
QIcon LoadIcon(const QString& name);

}  // namespace brisk::app
