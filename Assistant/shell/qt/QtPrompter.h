#pragma once
// Message boxes on a real display.
#include "common/Prompter.h"

class QtPrompter : public kx::Prompter {
public:
    int messageBox(const kx::MessageBoxRequest& request) override;
};
