#!/usr/bin/env bash
# update-translations.sh: brings app/i18n/*.ts up to date with the texts in app/ (lupdate from
# qt6-l10n-tools). The texts in the sources are the Chinese ones; translate the new entries
# with Qt Linguist or by hand, then commit the .ts (the build compiles it).
set -euo pipefail
cd "$(dirname "$0")/.."
lupdate=/usr/lib/qt6/bin/lupdate
# lupdate does not follow "namespace brisk::app {": the classes with Q_OBJECT are named here
# as the meta-object system names them at run time, and back for lupdate to match its own.
qualified=(CAboutDialog CBrisk7ServerDlg DFUpgradeDialog)
for ts in app/i18n/*.ts; do
  for class in "${qualified[@]}"; do
    sed -i "s|<name>brisk::app::$class</name>|<name>$class</name>|" "$ts"
  done
  "$lupdate" -locations none -no-obsolete -source-language zh_CN \
    app/*.h app/*.cpp app/panels/*.h app/panels/*.cpp dfu/StatusTexts.cpp -ts "$ts"
  for class in "${qualified[@]}"; do
    sed -i "s|<name>$class</name>|<name>brisk::app::$class</name>|" "$ts"
  done
done
