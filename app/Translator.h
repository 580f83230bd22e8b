// Feeds the window's translatable texts (those of its design included) from the program's
// message catalogue, so that the window and the jobs speak one language.
#pragma once

#include <QCoreApplication>
#include <QTranslator>

class TCatalogueTranslator : public QTranslator {
public:
    using QTranslator::QTranslator;
    QString translate(const char* context, const char* sourceText, const char* disambiguation = nullptr,
                      int n = -1) const override;
    bool isEmpty() const override;
};

// Installs the catalogue's translator and, for the dialogs Qt draws itself, Qt's own
// translations of the same language where they are installed.
void InstallTranslators(QCoreApplication& application);
