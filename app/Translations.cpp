#include "app/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "log/Log.h"

// The translations live in this static library: their resources are registered by hand.
static void InitTranslationResources() { Q_INIT_RESOURCE(translations); }

namespace brisk::app {

void InstallTranslations(QCoreApplication& application, const QLocale& locale) {
  InitTranslationResources();
  auto* translator = new QTranslator(&application);
  bool loaded = false;
  if (locale.language() == QLocale::English) {
    loaded = translator->load(QStringLiteral(":/i18n/brisknetservice_en.qm"));
  } else {
    // The texts are Chinese already; Qt's own come from its translations, where installed.
    loaded =
        translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  }
  if (loaded)
    application.installTranslator(translator);
  else
    delete translator;
}

}  // namespace brisk::app
