#include "app/Translator.h"

#include "platform/catalogue.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

QString TCatalogueTranslator::translate(const char*, const char* sourceText, const char*, int) const
{
    if (sourceText == nullptr || isEmpty())
        return {};
    const char* translated = platform::Translate(sourceText);
    return translated == sourceText ? QString() : QString::fromUtf8(translated);
}

bool TCatalogueTranslator::isEmpty() const
{
    return platform::CatalogueLanguage().empty();
}

void InstallTranslators(QCoreApplication& application)
{
    auto* own = new TCatalogueTranslator(&application);
    QCoreApplication::installTranslator(own);
    const QString language = platform::CatalogueLanguage().empty()
                                 ? QLocale::system().name()
                                 : QString::fromStdString(platform::CatalogueLanguage());
    auto* qt = new QTranslator(&application);
    if (qt->load(QStringLiteral("qtbase_") + language, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qt);
}
