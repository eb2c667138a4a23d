#pragma once

#include <QList>
#include <QString>

// The two-way mapping of static UI texts between English and Chinese: four
// pattern rules for texts with a number or a name in them, then a fixed
// table of text pairs. Pure functions; any thread.
namespace uitranslation {

struct UiTextPair {
    QString chinese;
    QString english;
};

// The pairs in their fixed order; where two rows share a text the earlier one
// wins. Built once, on first use.
const QList<UiTextPair>& uiTextTable();

// `text` in Chinese (chinese true: English texts are converted) or in English
// (Chinese texts are converted). Whole-text, case-sensitive matches only, no
// trimming; a text nothing matches comes back unchanged, so converting twice
// gives what converting once gives.
QString translateUiText(const QString& text, bool chinese);

// The settings key of the language and how its stored value reads:
// "zh" or "zh_cn" in any case means Chinese, anything else English.
inline constexpr const char* kLanguageKey = "ui_language";
bool storedLanguageIsChinese(const QString& stored);

} // namespace uitranslation
