#include "tests/support/form_fixture.h"

#include <unistd.h>

#include <QAction>
#include <QMenu>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "app/application.h"

namespace fs = std::filesystem;

void FormFixture::SetUp() {
    static int serial = 0;
    dir = fs::temp_directory_path() / ("kolva-form-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
    fs::remove_all(dir);
    fs::create_directories(dir);
    iniPath = (dir / "kolva-updater.INI").string();
    app::installFonts();
    platform::setClock(&clock);
    platform::setDialogs(&dialogs);
}

void FormFixture::TearDown() {
    form4.reset();
    form3.reset();
    form.reset();
    platform::setDialogs(nullptr);
    platform::setClock(nullptr);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

void FormFixture::start() {
    Form1Options opt;
    opt.iniPath = iniPath;
    form = std::make_unique<TForm1>(opt);
    form3 = std::make_unique<TForm3>(form.get());
    form4 = std::make_unique<TForm4>(form.get(), form->MidiOut1);
    form->startWizardTimer();
}

void FormFixture::stop() {
    if (form) form->close();
    form4.reset();
    form3.reset();
    form.reset();
}

bool FormFixture::chooseEntry(QMenu* menu, const std::string& name) {
    for (QAction* a : menu->actions())
        if (a->text().toStdString() == name) {
            a->trigger();
            return true;
        }
    return false;
}

void FormFixture::chooseWhenThere(const std::string& name) {
    auto* t = new QTimer(form.get());
    QObject::connect(t, &QTimer::timeout, [this, t, name] {
        emit form->Midi1->aboutToShow();
        if (!chooseEntry(form->Out1, name)) return;
        chooseEntry(form->In1, name);
        t->deleteLater();
    });
    t->start(200);
}

bool FormFixture::uploadWithin(std::chrono::milliseconds limit) {
    bool late = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        late = true;
        form->close();
    });
    guard.start(limit);
    form->Button2Click();
    return !late;
}

std::string FormFixture::iniText() const {
    std::ifstream in(iniPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void FormFixture::writeIni(const std::string& text) const { std::ofstream(iniPath, std::ios::binary) << text; }

std::string FormFixture::tempFile(const std::string& name) const { return (dir / name).string(); }
