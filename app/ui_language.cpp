#include "app/ui_language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstdlib>
#include <memory>

#include "settings/sys_reg_info.h"

namespace kestrona {
namespace {

UiLanguage g_current = UiLanguage::kChinese;

std::unique_ptr<QTranslator>& Installed() {
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

// Qt's own texts (a message box's buttons, the standard dialogs) come in
// English unless Qt's catalogue for the language is loaded beside ours.
std::unique_ptr<QTranslator>& InstalledQt() {
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

void InstallQtCatalogue(UiLanguage language) {
    auto& installed = InstalledQt();
    if (installed) {
        QCoreApplication::removeTranslator(installed.get());
        installed.reset();
    }
    if (language != UiLanguage::kChinese) {
        return;
    }
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("qtbase_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        return;  // the catalogue is not installed: Qt's texts stay English
    }
    QCoreApplication::installTranslator(translator.get());
    installed = std::move(translator);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool IsCLocale(const std::string& name) {
    const std::string l = Lower(name);
    return l == "c" || l == "posix" || l.rfind("c.", 0) == 0;
}

}  // namespace

bool ParseLanguage(const std::string& text, UiLanguage& language) {
    const std::string l = Lower(text);
    if (l.rfind("zh", 0) == 0) {
        language = UiLanguage::kChinese;
        return true;
    }
    if (l.rfind("en", 0) == 0) {
        language = UiLanguage::kEnglish;
        return true;
    }
    return false;
}

UiLanguage LanguageFromLocale(const std::function<std::string(const char*)>& env) {
    // The messages locale is the first of these that is set, as the C
    // library takes it.
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = env(name);
        if (!locale.empty())
            break;
    }
    // No locale, or the C locale: the phone's own texts. LANGUAGE does not
    // count then, as it does not for any other program.
    if (locale.empty() || IsCLocale(locale))
        return UiLanguage::kChinese;
    // LANGUAGE lists languages by preference: the first one we have wins;
    // languages we have no texts for are passed over.
    const std::string list = env("LANGUAGE");
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        UiLanguage language;
        if (ParseLanguage(list.substr(start, end - start), language))
            return language;
        start = end + 1;
    }
    UiLanguage language;
    if (ParseLanguage(locale, language))
        return language;
    return UiLanguage::kEnglish;
}

UiLanguage ChooseLanguage(const std::function<std::string(const char*)>& env,
                          const std::string& storedValue) {
    UiLanguage language;
    if (ParseLanguage(env(kLanguageEnv), language))
        return language;
    if (ParseLanguage(storedValue, language))
        return language;
    return LanguageFromLocale(env);
}

bool InstallUiLanguage(UiLanguage language) {
    auto& installed = Installed();
    if (installed) {
        QCoreApplication::removeTranslator(installed.get());
        installed.reset();
    }
    g_current = UiLanguage::kChinese;
    InstallQtCatalogue(language);
    if (language == UiLanguage::kChinese)
        return true;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral(":/kestrona/translations/kestrona_en.qm")))
        return false;
    QCoreApplication::installTranslator(translator.get());
    installed = std::move(translator);
    g_current = language;
    return true;
}

UiLanguage CurrentUiLanguage() {
    return g_current;
}

UiLanguage ApplyUiLanguage() {
    const auto env = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    std::string stored;
    CSysRegInfo().GetRegValue(kLanguageValue, stored);
    const UiLanguage language = ChooseLanguage(env, stored);
    InstallUiLanguage(language);
    return g_current;
}

}  // namespace kestrona
