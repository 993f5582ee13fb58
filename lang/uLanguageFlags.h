#pragma once
// Flags of the languages, as pictures in the program's resources named
// "FLAG_" and the two-letter country code (FLAG_CZ, FLAG_GB).

#include <QPixmap>
#include <QSize>
#include <QString>
#include <QStringList>

namespace kelvo {

// The country codes that have a flag.
QStringList FlagCountryCodes();

// The resource path of a flag (":/kelvo/flags/FLAG_CZ.svg"); empty when
// there is no flag for the code.
QString FlagResource(const QString& CountryCode);

// The flag drawn at Size; a null pixmap when there is none.
QPixmap LanguageFlag(const QString& CountryCode, QSize Size = QSize(20, 12));

}  // namespace kelvo
