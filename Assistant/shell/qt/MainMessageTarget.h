#pragma once
// Delivers window messages to TfrmMain on the main thread: post queues them, send waits for the
// result (and calls directly when already on the main thread).
#include "common/WindowTable.h"

#include <QPointer>

class TfrmMain;

class MainMessageTarget : public kx::MessageTarget {
public:
    explicit MainMessageTarget(TfrmMain* window);
    void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    QPointer<TfrmMain> window_;
};
