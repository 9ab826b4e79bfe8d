#include "tests/support/form_fixture.h"

#include <unistd.h>

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

std::string FormFixture::iniText() const {
    std::ifstream in(iniPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void FormFixture::writeIni(const std::string& text) const { std::ofstream(iniPath, std::ios::binary) << text; }

std::string FormFixture::tempFile(const std::string& name) const { return (dir / name).string(); }
