#pragma once

#include <QListWidget>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QVector>
#include <string>

#include "log/sinks.h"

class QHBoxLayout;
class QLabel;

namespace qel::log {

// The window's message pump for t_event_log_ui::message_pump: one pass over the pending
// messages (repaint and input).
void process_window_messages();

// The log memo. The widget turns CR LF into LF, so the memo keeps the exact 8-bit text it was
// given, every line ended by CR LF, and the widget only draws it.
class Memo : public QPlainTextEdit, public MemoSink {
    Q_OBJECT

public:
    explicit Memo(QWidget* parent = nullptr);

    const std::string& text() const override { return m_text; }
    void set_text(const std::string& text) override;

    // Start and length count characters of text(); a range past the end is cut to the end.
    void set_selection(int start, int length) override;
    int selection_start() const { return m_selection_start; }
    int selection_length() const { return m_selection_length; }

private:
    int widget_position(int text_position) const;

    std::string m_text;
    int m_selection_start = 0;
    int m_selection_length = 0;
};

// A status bar made of panels, each a one-line label of a given width. As on the platform the
// log was first written for, the last panel reaches to the right edge of the bar.
class StatusBar : public QStatusBar, public StatusBarSink {
    Q_OBJECT

public:
    explicit StatusBar(QWidget* parent = nullptr);

    // Returns the new panel's index.
    int add_panel(int width);
    int panel_count() const override { return static_cast<int>(m_panels.size()); }

    // False, and no panel changed, for an index outside the panels.
    bool set_panel_text(int index, const std::string& text) override;
    std::string panel_text(int index) const;
    QLabel* panel(int index) const;

private:
    struct Panel {
        QLabel* label;
        int width;
        std::string text;
    };

    QWidget* m_host;
    QHBoxLayout* m_layout;
    QVector<Panel> m_panels;
};

// The optional list control of the log: one item per line, the newest scrolled into view at
// the bottom.
class ListBox : public QListWidget, public ListSink {
    Q_OBJECT

public:
    explicit ListBox(QWidget* parent = nullptr);

    std::string text() const override;
    int item_count() const override { return count(); }
    void add_item(const std::string& text) override;
    void clear_items() override { clear(); }
    void scroll_to_item(int index) override;
};

}  // namespace qel::log
