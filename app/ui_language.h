// The language of the phone's texts. Chinese is the phone's own language: the
// texts in the sources are Chinese, and an English catalogue translates them.
// The choice, strongest first: KESTRONA_LANG, the settings value "Language",
// then the locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), where a Chinese
// locale and the C locale keep Chinese and every other locale gets English.
#pragma once

#include "settings/setting_names.h"

#include <functional>
#include <string>

namespace kestrona {

enum class UiLanguage { kChinese, kEnglish };

// Name of the settings value that forces a language ("zh" or "en"; anything
// else, or no value, follows the locale).
inline constexpr const char* kLanguageValue = reg::kLanguage;
// The environment variable that forces a language for one run.
inline constexpr const char* kLanguageEnv = "KESTRONA_LANG";

// "zh..." and "en..." name a language; anything else (empty included) none.
bool ParseLanguage(const std::string& text, UiLanguage& language);

// The language the locale asks for. `env` reads an environment variable
// ("" when unset).
UiLanguage LanguageFromLocale(const std::function<std::string(const char*)>& env);

// KESTRONA_LANG, else the stored value, else the locale.
UiLanguage ChooseLanguage(const std::function<std::string(const char*)>& env,
                          const std::string& storedValue);

// Chooses from the process environment and the settings store and installs
// the catalogue in the running application. Call before any window is made.
UiLanguage ApplyUiLanguage();
// Installs (English) or removes (Chinese) the catalogue; false when the
// English catalogue cannot be loaded.
bool InstallUiLanguage(UiLanguage language);
UiLanguage CurrentUiLanguage();

}  // namespace kestrona
