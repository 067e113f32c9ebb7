#pragma once

#include "engine/clock.h"
#include "engine/line.h"
#include "engine/trafficview.h"

#include <QHash>
#include <QWidget>

#include <functional>

class QAbstractButton;

namespace qv7 {

struct ControlLayout;

// The panel's one window, a view of the engine: built from the layout table, every button
// wired to its row of the command table, the traffic and status lines showing the engine's
// texts. It keeps only what is the window's own: its height, the port panel and the display
// toggle, and how failures reach the operator.
class Form1 : public QWidget {
    Q_OBJECT

public:
    explicit Form1(QWidget *parent = nullptr, Clock &clock = Clock::steady());
    ~Form1() override;

    // Places and shows the window, then opens the port; call once.
    void load();

    Line &line() { return line_; }
    const Line &line() const { return line_; }
    const TrafficView &traffic() const { return traffic_; }
    // The port choice's time-out is running.
    bool portChoiceTiming() const { return Timer3.Enabled(); }

    // How a failure reaches the operator; by default a warning box titled "QV7RSC". Tests
    // put a function here that records instead of blocking on a modal box.
    using FailurePresenter = std::function<void(const QString &description)>;
    void setFailurePresenter(FailurePresenter presenter);

    // The window's outer height in twips, title bar and borders included.
    float Height() const { return height_; }
    void setHeight(float twips);

    // A control by its design name ("Command17", "Label12", "Frame8"); null for none.
    QWidget *control(const QString &name) const { return controls_.value(name); }

signals:
    // Every failure that reaches the operator, as it is shown.
    void failureReported(const QString &description);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void buildLines();
    void addControl(QWidget *widget, const ControlLayout &layout);
    void buildLogo();
    void connectCommands();
    void connectPortPanel();
    void connectDisplay();
    template <typename Widget> Widget *named(const char *name) const;

    void Form_KeyDown(int KeyCode, int Shift);
    void Command34_Click();
    void showPortPanel();
    void setLeft(float twips);
    void setTop(float twips);
    void present(const QString &description);

    Line line_;
    TrafficView traffic_;
    LineTimer Timer3;
    QHash<QString, QWidget *> controls_;
    // The controls that code addresses by name.
    QWidget *Frame8 = nullptr;
    QAbstractButton *Command34 = nullptr;
    QAbstractButton *Option1 = nullptr;
    FailurePresenter presenter_;
    bool presenting_ = false;
    // A network port is connecting: the window shows a wait cursor and drops clicks and keys.
    bool connecting_ = false;
    float height_ = 0;
};

} // namespace qv7
