#include "app/application.h"

#include <QFont>
#include <QFontDatabase>
#include <QStringList>

#include "platform/dialogs.h"

static void initKolvaResources() { Q_INIT_RESOURCE(kolva); }

namespace app {

void initResources() {
    static const bool done = (initKolvaResources(), true);
    (void)done;
}

void showException(const std::exception& e) {
    platform::messageBox(e.what(), kApplicationTitle, platform::Buttons::Ok);
}

void guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        showException(e);
    }
}

void installFonts() {
    static bool done = false;
    if (done) return;
    done = true;
    initResources();
    QStringList families;
    for (const char* f : {":/fonts/URWGothic-Book.otf", ":/fonts/URWGothic-Demi.otf"}) {
        const int id = QFontDatabase::addApplicationFont(f);
        if (id >= 0) families += QFontDatabase::applicationFontFamilies(id);
    }
    // The window names the faces it was drawn with: the geometric sans that
    // ships with the program stands in for the two Futura cuts, the system's
    // sans for the dialog face.
    QFont::insertSubstitutions("Futura Hv", {"URW Gothic", "DejaVu Sans"});
    QFont::insertSubstitutions("Futura Bk", {"URW Gothic", "DejaVu Sans"});
    QFont::insertSubstitutions("MS Sans Serif", {"DejaVu Sans", "Liberation Sans", "Sans Serif"});
}

}  // namespace app
