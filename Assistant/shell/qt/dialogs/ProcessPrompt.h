#pragma once
// TfrmPrintPrompt: the small "loading" window in the bottom-right corner of the screen: an
// animated picture above the text "正在努力加载中". It has no frame and no taskbar entry, stays on
// top, and white is see-through, both for display and for clicks. The picture moves only while
// the window is shown: hidden, it costs no timer and no drawing.
#include "shell/qt/dialogs/RegisteredWindow.h"

#include <QWidget>

#include <memory>
#include <string>

class QMovie;

namespace Ui {
class TfrmPrintPrompt;
}

class TfrmPrintPrompt : public QWidget {
    Q_OBJECT
public:
    // Loads programFolder/data/img/gif/loading.gif and places the window; when the picture cannot
    // be loaded the error is shown in a box and the window stays at the top-left corner.
    explicit TfrmPrintPrompt(const std::string& programFolder);
    ~TfrmPrintPrompt() override;

    QMovie* movie() const { return movie_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void FormCreate(const std::string& programFolder);
    // Clicks and drawing pass through every white pixel: the window's shape is its non-white part.
    void updateMask();

    const std::unique_ptr<Ui::TfrmPrintPrompt> ui; // the controls, from ProcessPrompt.ui
    QMovie* movie_ = nullptr;
    bool pausedByHide_ = false;
    std::unique_ptr<RegisteredWindow> registration_;
};
