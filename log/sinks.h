#pragma once

#include <memory>
#include <string>

namespace qel::log {

// What the event log needs of the window's controls, in terms of 8-bit text only: the log and
// the log file are built without any window toolkit, and the window's controls (window_sinks.h)
// implement these.
//
// The window owns its controls and may destroy one while the log still refers to it. Every sink
// carries a token that dies with it; the log holds its sinks through SinkRef, which then reads
// as none, so a control that is gone is skipped like one that was never attached.
class Sink {
public:
    Sink() = default;
    virtual ~Sink() = default;

    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    std::weak_ptr<const void> lifetime() const { return m_lifetime; }

private:
    std::shared_ptr<const void> m_lifetime = std::make_shared<char>();
};

// A sink the log refers to without owning it.
template <class T>
class SinkRef {
public:
    void reset(T* sink) {
        m_sink = sink;
        m_lifetime = sink != nullptr ? sink->lifetime() : std::weak_ptr<const void>();
    }

    // None when nothing is attached or the attached sink has been destroyed since.
    T* get() const { return m_lifetime.expired() ? nullptr : m_sink; }

private:
    T* m_sink = nullptr;
    std::weak_ptr<const void> m_lifetime;
};

// The memo: one text that holds every line with its CR LF, and a selection that the log puts
// at the end of the newest line.
class MemoSink : public Sink {
public:
    virtual const std::string& text() const = 0;
    virtual void set_text(const std::string& text) = 0;
    // Start and length count characters of text().
    virtual void set_selection(int start, int length) = 0;
};

// The optional list control: one item per line, without line ends.
class ListSink : public Sink {
public:
    // Every item followed by CR LF: the text the log's character limit is measured against.
    virtual std::string text() const = 0;
    virtual int item_count() const = 0;
    virtual void add_item(const std::string& text) = 0;
    virtual void clear_items() = 0;
    virtual void scroll_to_item(int index) = 0;
};

// The status bar: a row of panels with one text each.
class StatusBarSink : public Sink {
public:
    virtual int panel_count() const = 0;
    // False, and no panel changed, for an index outside the panels.
    virtual bool set_panel_text(int index, const std::string& text) = 0;
};

}  // namespace qel::log
