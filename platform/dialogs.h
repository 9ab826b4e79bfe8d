#pragma once
// Modal dialogs: message boxes and the open-file dialog. No window calls Qt's
// dialogs directly; everything goes through here so that a test can answer
// from a script and read back every box in the order it was shown.

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class Buttons { Ok, OkCancel, YesNo };

// Results as the Windows message box returns them.
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

struct ShownBox {
    std::string text;
    std::string caption;
    Buttons buttons;
};

struct OpenFileRequest {
    std::string filter;  // "Description (*.ext)|*.ext[|...]"
    std::string initialDir;
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual int messageBox(const std::string& text, const std::string& caption, Buttons buttons) = 0;
    // Full path of the chosen file, or nothing when the user cancelled.
    virtual std::optional<std::string> openFile(const OpenFileRequest& req) = 0;
};

Dialogs& dialogs();
void setDialogs(Dialogs* d);  // nullptr restores the Qt dialogs

// Shows a box through the installed dialogs. Once the dialogs have ended, no
// box is shown: its text goes to standard error and it gets No, Cancel or OK.
int messageBox(const std::string& text, const std::string& caption, Buttons b = Buttons::Ok);
// Asks for a file through the installed dialogs; nothing once they have ended.
std::optional<std::string> openFile(const OpenFileRequest& req);

// The program is being ended from outside (a termination signal): the open
// boxes, file dialogs and modal windows are dismissed as if cancelled, and
// no new one is shown from here on.
void endDialogs(bool end = true);  // false: boxes again (tests)
bool dialogsEnded();

// Real dialogs on top of the active window.
class QtDialogs final : public Dialogs {
public:
    int messageBox(const std::string& text, const std::string& caption, Buttons buttons) override;
    std::optional<std::string> openFile(const OpenFileRequest& req) override;
};

// Converts "Syx files (*.syx)|*.syx" into Qt's "Syx files (*.syx)" form.
std::string qtFilterFromWindows(const std::string& filter);

// Answers from a script. A box with no scripted answer gets its first button
// (OK or Yes); an open-file dialog with no scripted answer is cancelled.
class ScriptedDialogs final : public Dialogs {
public:
    ScriptedDialogs();
    ~ScriptedDialogs() override;

    int messageBox(const std::string& text, const std::string& caption, Buttons buttons) override;
    std::optional<std::string> openFile(const OpenFileRequest& req) override;

    void answer(int result) { answers_.push_back(result); }
    void chooseFile(std::optional<std::string> path) { files_.push_back(std::move(path)); }
    // Called for each box before its answer is taken; may act as the user
    // would while the box is up and may return an answer (or -1 for none).
    std::function<int(const ShownBox&)> onBox;

    const std::vector<ShownBox>& shown() const { return shown_; }
    const std::vector<OpenFileRequest>& fileRequests() const { return requests_; }
    void clear() { shown_.clear(); requests_.clear(); }

private:
    std::deque<int> answers_;
    std::deque<std::optional<std::string>> files_;
    std::vector<ShownBox> shown_;
    std::vector<OpenFileRequest> requests_;
};

}  // namespace platform
