#pragma once
// Modal message boxes go through one replaceable prompter: the GUI installs one that shows a
// real box, tests install a scripted one, and without a display the text goes to standard error
// and the default button is the answer.
#include <memory>
#include <string>

namespace kx {

enum class BoxIcon { None, Question, Warning, Error, Information };
enum class BoxButtons { Ok, YesNo };

// Answers, with the numbers the rest of the program compares against.
constexpr int kAnswerOk = 1;
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;

struct MessageBoxRequest {
    std::string caption;
    std::string text;
    BoxIcon icon = BoxIcon::None;
    BoxButtons buttons = BoxButtons::Ok;
    int defaultButton = kAnswerOk;
    bool topmost = true;
    bool ownedByMainWindow = false;
};

class Prompter {
public:
    virtual ~Prompter() = default;
    virtual int messageBox(const MessageBoxRequest& request) = 0;
};

// Writes "caption: text" to standard error and answers with the default button.
class ConsolePrompter : public Prompter {
public:
    int messageBox(const MessageBoxRequest& request) override;
};

// The prompter in use (a ConsolePrompter until another is installed). Main thread only.
Prompter& prompter();
// Installs a prompter and gives back the previous one.
std::shared_ptr<Prompter> setPrompter(std::shared_ptr<Prompter> p);

// A box with the program's caption, topmost.
int showMessage(const std::string& text, BoxIcon icon = BoxIcon::Information,
                BoxButtons buttons = BoxButtons::Ok, int defaultButton = kAnswerOk);

// A Yes/No question owned by the main window, with the program's caption, topmost.
int askYesNo(const std::string& text, BoxIcon icon, int defaultButton);

} // namespace kx
