#pragma once

// A socket's tile: its number and port, a large state word on the state's
// colour, the line under it (progress, serial number or reason) and the
// elapsed time. A click asks for the board in it to be started; its menu
// opens the board's log, its tooltip has the whole reason.

#include <QColor>
#include <QWidget>

class SocketRun;
enum class TileState;

class TileWidget : public QWidget {
    Q_OBJECT

public:
    // The smallest a tile gets: a hundred of them fit a 1280-pixel screen ten abreast.
    static constexpr int kMinimumWidth = 120;
    static constexpr int kMinimumHeight = 72;

    TileWidget(int number, SocketRun* socket, QWidget* parent);
    SocketRun* socket() const { return socket_; }
    void set_number(int number);

    static QString state_word(const SocketRun& socket);
    static QColor state_colour(TileState state);
    // The line under the state word.
    static QString detail_line(const SocketRun& socket);

signals:
    void start_requested(SocketRun* socket);
    void log_requested();  // the board's log, from the tile's menu

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool event(QEvent* event) override;

private:
    int number_;
    SocketRun* socket_;
};
