#include "tile_widget.h"

#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "socket_run.h"

QColor TileWidget::state_colour(TileState s)
{
    switch (s) {
    case TileState::Waiting:
        return QColor(0x5f, 0x63, 0x68);
    case TileState::Ready:
        return QColor(0x1a, 0x5f, 0xb4);
    case TileState::Programming:
        return QColor(0xc6, 0x7c, 0x00);
    case TileState::Pass:
        return QColor(0x1e, 0x82, 0x3c);
    case TileState::Fail:
        return QColor(0xc0, 0x1c, 0x28);
    }
    return Qt::gray;
}

namespace {

// The largest point size at which text fits the box, no larger than cap.
QFont fitted(QFont font, const QString& text, const QSize& box, int cap)
{
    for (int size = cap; size > 6; --size) {
        font.setPointSize(size);
        const QFontMetrics m(font);
        if (m.horizontalAdvance(text) <= box.width() && m.height() <= box.height())
            break;
    }
    return font;
}

}  // namespace

TileWidget::TileWidget(int number, SocketRun* socket, QWidget* parent)
    : QWidget(parent), number_(number), socket_(socket)
{
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setCursor(Qt::PointingHandCursor);
    connect(socket, &SocketRun::changed, this, qOverload<>(&QWidget::update));
}

QString TileWidget::state_word(const SocketRun& s)
{
    switch (s.state()) {
    case TileState::Waiting:
        return QStringLiteral("WAITING");
    case TileState::Ready:
        return QStringLiteral("READY");
    case TileState::Programming:
        return QStringLiteral("PROGRAMMING");
    case TileState::Pass:
        return QStringLiteral("PASS");
    case TileState::Fail:
        return QStringLiteral("FAIL");
    }
    return QString();
}

QString TileWidget::detail_line(const SocketRun& s)
{
    switch (s.state()) {
    case TileState::Waiting:
        return QStringLiteral("waiting for a board");
    case TileState::Ready:
        return s.detail().isEmpty() ? QStringLiteral("board present: click to start") : s.detail();
    case TileState::Programming:
        return s.progress_text();  // the action has its own line above the bar
    case TileState::Pass:
    case TileState::Fail:
        return s.detail();
    }
    return QString();
}

void TileWidget::paintEvent(QPaintEvent*)
{
    const SocketRun& s = *socket_;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(3, 3, -3, -3);
    p.setPen(Qt::NoPen);
    p.setBrush(state_colour(s.state()));
    p.drawRoundedRect(r, 8, 8);

    const int pad = 8;
    const QRect inner = r.toRect().adjusted(pad, pad / 2, -pad, -pad / 2);
    const int line_h = qMax(14, inner.height() / 6);
    QFont small = font();
    small.setPixelSize(qMax(10, line_h - 3));
    p.setPen(Qt::white);
    p.setFont(small);
    QFont bold = small;
    bold.setBold(true);
    const QRect top(inner.left(), inner.top(), inner.width(), line_h);
    p.setFont(bold);
    p.drawText(top, Qt::AlignLeft | Qt::AlignVCenter, QString::number(number_));
    p.setFont(small);
    const QString where = s.device().isEmpty() ? s.label() : s.device();
    const bool timed =
        s.state() == TileState::Programming || s.state() == TileState::Pass || s.state() == TileState::Fail;
    const QString seconds = timed ? QStringLiteral("%1 s").arg(s.seconds(), 0, 'f', 1) : QString();
    // The port gets what the number and the seconds leave, at this font's size.
    const int left = QFontMetrics(bold).horizontalAdvance(QString::number(number_)) + 8;
    const int right = timed ? QFontMetrics(small).horizontalAdvance(QStringLiteral("0000.0 s")) + 8 : 0;
    p.drawText(top.adjusted(left, 0, -right, 0), Qt::AlignLeft | Qt::AlignVCenter,
               QFontMetrics(small).elidedText(where, Qt::ElideLeft, qMax(0, top.width() - left - right)));
    if (timed)
        p.drawText(top, Qt::AlignRight | Qt::AlignVCenter, seconds);

    // A reason gets two lines, its font shrunk until it fits them; the
    // tooltip and the board's log have it whole.
    const bool reason = s.state() == TileState::Fail || (s.state() == TileState::Ready && !s.detail().isEmpty());
    const int bottom_h = reason ? 2 * line_h : line_h;
    const QRect bottom(inner.left(), inner.bottom() - bottom_h, inner.width(), bottom_h);
    const QRect middle(inner.left(), top.bottom(), inner.width(), bottom.top() - top.bottom());
    QRect word_box = middle;
    if (s.state() == TileState::Programming) {
        const int bar_h = qMax(6, line_h / 2);
        const QRect bar(inner.left(), middle.bottom() - bar_h, inner.width(), bar_h);
        const QRect action_line(inner.left(), bar.top() - line_h - 1, inner.width(), line_h);
        word_box.setBottom(action_line.top() - 1);
        p.setFont(small);
        p.drawText(action_line, Qt::AlignLeft | Qt::AlignVCenter, s.action());
        p.setBrush(QColor(255, 255, 255, 70));
        p.drawRect(bar);
        p.setBrush(Qt::white);
        p.drawRect(QRect(bar.left(), bar.top(), bar.width() * qBound(0, s.percent(), 100) / 100, bar.height()));
    }
    QFont big = font();
    big.setBold(true);
    const QString word = state_word(s);
    p.setFont(fitted(big, word, word_box.size(), 48));
    p.drawText(word_box, Qt::AlignCenter, word);
    p.setFont(small);
    if (reason) {
        QFont f = small;
        const QString text = detail_line(s);
        const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWrapAnywhere;
        for (int px = f.pixelSize(); px > 8; --px) {
            f.setPixelSize(px);
            if (QFontMetrics(f).boundingRect(bottom, flags, text).height() <= bottom.height())
                break;
        }
        p.setFont(f);
        p.drawText(bottom, flags, text);
    } else {
        p.drawText(bottom, Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetrics(small).elidedText(detail_line(s), Qt::ElideRight, bottom.width()));
    }
}

void TileWidget::set_number(int number)
{
    if (number != number_) {
        number_ = number;
        update();
    }
}

bool TileWidget::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        QString tip = detail_line(*socket_);
        if (!socket_->log_file().isEmpty())
            tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) + QStringLiteral("log: ") + socket_->log_file();
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, this);
        return true;
    }
    return QWidget::event(event);
}

void TileWidget::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    QAction* open_log = menu.addAction(QStringLiteral("Open this board's log"));
    open_log->setEnabled(!socket_->log_file().isEmpty());
    if (menu.exec(event->globalPos()) == open_log)
        emit log_requested();
}

void TileWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->pos()))
        emit start_requested(socket_);
}
