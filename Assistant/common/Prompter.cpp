#include "common/Prompter.h"

#include "common/WindowMessages.h"

#include <cstdio>
#include <mutex>

namespace kx {
namespace {

std::mutex g_mutex;
std::shared_ptr<Prompter> g_prompter;

} // namespace

int ConsolePrompter::messageBox(const MessageBoxRequest& request)
{
    std::fprintf(stderr, "%s: %s\n", request.caption.c_str(), request.text.c_str());
    std::fflush(stderr);
    return request.defaultButton;
}

Prompter& prompter()
{
    std::lock_guard lock(g_mutex);
    if (!g_prompter)
        g_prompter = std::make_shared<ConsolePrompter>();
    return *g_prompter;
}

std::shared_ptr<Prompter> setPrompter(std::shared_ptr<Prompter> p)
{
    std::lock_guard lock(g_mutex);
    std::swap(g_prompter, p);
    return p;
}

int showMessage(const std::string& text, BoxIcon icon, BoxButtons buttons, int defaultButton)
{
    MessageBoxRequest r;
    r.caption = kMessageBoxCaption;
    r.text = text;
    r.icon = icon;
    r.buttons = buttons;
    r.defaultButton = defaultButton;
    return prompter().messageBox(r);
}

int askYesNo(const std::string& text, BoxIcon icon, int defaultButton)
{
    MessageBoxRequest r;
    r.caption = kMessageBoxCaption;
    r.text = text;
    r.icon = icon;
    r.buttons = BoxButtons::YesNo;
    r.defaultButton = defaultButton;
    r.topmost = true;
    r.ownedByMainWindow = true;
    return prompter().messageBox(r);
}

} // namespace kx
