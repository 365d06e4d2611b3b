#include "shell/qt/dialogs/ProcessPrompt.h"

#include "common/Paths.h"
#include "common/Prompter.h"
#include "shell/qt/dialogs/DialogLook.h"
#include "ui_ProcessPrompt.h"

#include <QBitmap>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMovie>
#include <QPixmap>
#include <QScreen>
#include <QShowEvent>

namespace {
constexpr int kWidth = 118;
constexpr int kHeight = 138;
} // namespace

TfrmPrintPrompt::TfrmPrintPrompt(const std::string& programFolder)
    : QWidget(nullptr), ui(std::make_unique<Ui::TfrmPrintPrompt>())
{
    // No owner, no frame, a tool window (no taskbar button, not in the task switcher), on top.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(kWidth, kHeight);
    ui->setupUi(this);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);

    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(13);
    ui->lbl1->setFont(font);
    QPalette labelPal = ui->lbl1->palette();
    labelPal.setColor(QPalette::WindowText, QColor(160, 160, 164));
    ui->lbl1->setPalette(labelPal);

    // The design place, top-left. It is asked for explicitly, so that a window manager keeps it
    // when the picture cannot be loaded and FormCreate does not place the window.
    move(0, 0);
    FormCreate(programFolder);
    updateMask();
    registration_ = std::make_unique<RegisteredWindow>(this, "TfrmPrintPrompt", "打印提示");
}

TfrmPrintPrompt::~TfrmPrintPrompt() = default;

void TfrmPrintPrompt::FormCreate(const std::string& programFolder)
{
    const QString path =
        QString::fromStdString(kx::programPath(programFolder, "data\\img\\gif\\loading.gif"));
    auto* movie = new QMovie(path, QByteArray("gif"), this);
    if (!QFileInfo::exists(path) || !movie->isValid()) {
        const std::string reason = QFileInfo::exists(path) ? "is not a GIF picture" : "cannot be opened";
        delete movie;
        kx::showMessage("\"" + path.toStdString() + "\" " + reason, kx::BoxIcon::Error);
        return;
    }
    movie_ = movie;
    ui->imgGif->setMovie(movie_);
    connect(movie_, &QMovie::frameChanged, this, &TfrmPrintPrompt::updateMask);
    movie_->jumpToFrame(0); // the first picture, still until the window is shown

    // Bottom-right corner, computed from the work area's size (not its position).
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize area = screen->availableGeometry().size();
        move(area.width() - kWidth, area.height() - kHeight);
    }
}

void TfrmPrintPrompt::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (movie_ && movie_->state() == QMovie::NotRunning)
        movie_->start();
    else if (movie_ && pausedByHide_)
        movie_->setPaused(false);
    pausedByHide_ = false;
    bringToFront(this);
}

void TfrmPrintPrompt::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (movie_ && movie_->state() == QMovie::Running) {
        movie_->setPaused(true);
        pausedByHide_ = true;
    }
}

void TfrmPrintPrompt::updateMask()
{
    QPixmap shot(size());
    shot.fill(Qt::white);
    render(&shot, QPoint(), QRegion(),
           QWidget::DrawWindowBackground | QWidget::DrawChildren | QWidget::IgnoreMask);
    const QBitmap mask = shot.createMaskFromColor(QColor(Qt::white), Qt::MaskInColor);
    setMask(mask);
}
