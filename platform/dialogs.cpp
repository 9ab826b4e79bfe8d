#include "platform/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QWidget>
#include <cstdio>

namespace platform {

namespace {
Dialogs* current = nullptr;
bool ended = false;
QtDialogs& qtDialogs() {
    static QtDialogs d;
    return d;
}
}  // namespace

Dialogs& dialogs() { return current ? *current : qtDialogs(); }
void setDialogs(Dialogs* d) { current = d; }

int messageBox(const std::string& text, const std::string& caption, Buttons b) {
    if (!ended) return dialogs().messageBox(text, caption, b);
    std::fprintf(stderr, "%s%s%s\n", caption.c_str(), caption.empty() ? "" : ": ", text.c_str());
    std::fflush(stderr);
    switch (b) {
        case Buttons::Ok: return IDOK;
        case Buttons::OkCancel: return IDCANCEL;
        case Buttons::YesNo: return IDNO;
    }
    return IDCANCEL;
}

std::optional<std::string> openFile(const OpenFileRequest& req) {
    if (ended) return std::nullopt;
    return dialogs().openFile(req);
}

void endDialogs(bool end) {
    ended = end;
    if (!end || !qApp) return;
    // Innermost first, so each nested loop ends as control comes back to it.
    while (QWidget* w = QApplication::activeModalWidget()) {
        auto* d = qobject_cast<QDialog*>(w);
        if (!d) break;
        d->reject();
        // A box with no escape button ignores a reject, so it is ended.
        if (d->isVisible()) d->done(0);
        if (d->isVisible()) break;
    }
}

bool dialogsEnded() { return ended; }

int QtDialogs::messageBox(const std::string& text, const std::string& caption, Buttons buttons) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QString::fromStdString(caption));
    // File names are shown as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    switch (buttons) {
        case Buttons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
        case Buttons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
        case Buttons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    }
    switch (box.exec()) {
        case QMessageBox::Ok: return IDOK;
        case QMessageBox::Yes: return IDYES;
        case QMessageBox::No: return IDNO;
        default: return buttons == Buttons::YesNo ? IDNO : IDCANCEL;
    }
}

std::string qtFilterFromWindows(const std::string& filter) {
    // Windows filters alternate description|pattern; Qt wants the descriptions
    // (which carry the patterns in brackets) separated by ";;".
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= filter.size()) {
        size_t bar = filter.find('|', start);
        if (bar == std::string::npos) bar = filter.size();
        parts.push_back(filter.substr(start, bar - start));
        start = bar + 1;
    }
    std::string out;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string desc = parts[i];
        const std::string& pat = parts[i + 1];
        if (desc.find('(') == std::string::npos) desc += " (" + pat + ")";
        // Qt separates patterns by spaces, Windows by semicolons.
        for (char& c : desc)
            if (c == ';') c = ' ';
        if (!out.empty()) out += ";;";
        out += desc;
    }
    return out;
}

std::optional<std::string> QtDialogs::openFile(const OpenFileRequest& req) {
    // A dialog of our own (not the static helper), so that endDialogs can
    // dismiss it.
    QFileDialog dlg(QApplication::activeWindow(), QString(), QString::fromStdString(req.initialDir),
                    QString::fromStdString(qtFilterFromWindows(req.filter)));
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
    const QString path = dlg.selectedFiles().front();
    if (path.isEmpty()) return std::nullopt;
    return path.toStdString();
}

ScriptedDialogs::ScriptedDialogs() = default;
ScriptedDialogs::~ScriptedDialogs() {
    if (current == this) current = nullptr;
}

int ScriptedDialogs::messageBox(const std::string& text, const std::string& caption, Buttons buttons) {
    shown_.push_back({text, caption, buttons});
    if (onBox) {
        const int r = onBox(shown_.back());
        if (r >= 0) return r;
    }
    if (!answers_.empty()) {
        const int r = answers_.front();
        answers_.pop_front();
        return r;
    }
    return buttons == Buttons::YesNo ? IDYES : IDOK;
}

std::optional<std::string> ScriptedDialogs::openFile(const OpenFileRequest& req) {
    requests_.push_back(req);
    if (files_.empty()) return std::nullopt;
    auto f = std::move(files_.front());
    files_.pop_front();
    return f;
}

}  // namespace platform
