#pragma once
// The window's look in one place: the design colours (given as the
// toolkit values 0x00BBGGRR of the design) and the fonts.
//
// Fonts: the design uses "Trebuchet MS" for captions and "MS Sans Serif"
// for the window font, both Windows fonts. Where they are not installed
// (Linux as a rule) Qt substitutes Liberation Sans (metric twin of Arial,
// close to both in width; Debian package fonts-liberation2) and then
// DejaVu Sans (fonts-dejavu-core). InstallFontFallbacks registers that once;
// the widgets keep asking for the design's families.

#include <QColor>
#include <QFont>
#include <QString>

#include <cstdint>

namespace kelvo {

// A design colour 0x00BBGGRR as a QColor.
constexpr QColor ColorFromTColor(uint32_t C)
{
    return QColor(int(C & 0xFF), int((C >> 8) & 0xFF), int((C >> 16) & 0xFF));
}

// The design's colour values.
namespace design {
constexpr uint32_t kWindow = 11912662;       // window; borders of buttons and frames
constexpr uint32_t kPage = 15132399;         // pages, buttons, disabled combos
constexpr uint32_t kRow = 14277095;          // row panels, tab strip, measuring frames, tab hover
constexpr uint32_t kText = 6450567;          // labels, buttons, values; measuring frames' border
constexpr uint32_t kCheckedSpeed = 7178082;  // label of a checked search speed
constexpr uint32_t kOverrange = 255;         // overrange value and its frame
constexpr uint32_t kWhite = 16777215;        // header, enabled combos
constexpr uint32_t kBlack = 0;
}  // namespace design

inline const QString kCaptionFamily = QStringLiteral("Trebuchet MS");
inline const QString kWindowFamily = QStringLiteral("MS Sans Serif");

// Registers the fallbacks of the design's font families (idempotent).
void InstallFontFallbacks();

// A design font: family, character height in pixels, style.
QFont DesignFont(const QString& Family, int PixelHeight, bool Bold = false, bool Italic = false);
// "Trebuchet MS" of the given height.
inline QFont CaptionFont(int PixelHeight, bool Bold = false, bool Italic = false)
{
    return DesignFont(kCaptionFamily, PixelHeight, Bold, Italic);
}

}  // namespace kelvo
