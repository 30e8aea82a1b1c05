#include "log/window_sinks.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollBar>
#include <QTextCursor>
#include <algorithm>
#include <climits>

namespace qel::log {

namespace {

QString to_display(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void process_window_messages() {
    QCoreApplication::processEvents();
}

Memo::Memo(QWidget* parent) : QPlainTextEdit(parent) {}

void Memo::set_text(const std::string& text) {
    m_text = text;
    setPlainText(to_display(text));
    m_selection_start = 0;
    m_selection_length = 0;
}

int Memo::widget_position(int text_position) const {
    const std::size_t n =
        std::min(m_text.size(), static_cast<std::size_t>(std::max(0, text_position)));
    const QString prefix = QString::fromLocal8Bit(m_text.data(), static_cast<qsizetype>(n));
    // The document holds one paragraph separator where the text has CR LF, CR or LF.
    qsizetype position = prefix.size() - prefix.count(QLatin1String("\r\n"));
    return static_cast<int>(position);
}

void Memo::set_selection(int start, int length) {
    const int size = static_cast<int>(std::min<std::size_t>(m_text.size(), INT_MAX));
    m_selection_start = std::clamp(start, 0, size);
    m_selection_length = std::clamp(length, 0, size - m_selection_start);

    QTextCursor cursor(document());
    const int last = std::max(0, document()->characterCount() - 1);
    cursor.setPosition(std::min(widget_position(m_selection_start), last));
    cursor.setPosition(std::min(widget_position(m_selection_start + m_selection_length), last),
                       QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    ensureCursorVisible();
}

StatusBar::StatusBar(QWidget* parent)
    : QStatusBar(parent), m_host(new QWidget(this)), m_layout(new QHBoxLayout(m_host)) {
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(2);
    // Permanent, so that a passing status message never hides the panels.
    addPermanentWidget(m_host, 1);
}

int StatusBar::add_panel(int width) {
    if (!m_panels.isEmpty()) {
        // The former last panel stops at its own width now.
        Panel& previous = m_panels.last();
        previous.label->setFixedWidth(previous.width);
        m_layout->setStretch(m_panels.size() - 1, 0);
    }
    auto* label = new QLabel(m_host);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(false);
    label->setMinimumWidth(width);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    // The text never widens a panel: a long line is cut at its edge instead of stretching the bar.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    m_layout->addWidget(label, 1);
    m_panels.push_back({label, width, {}});
    return static_cast<int>(m_panels.size()) - 1;
}

bool StatusBar::set_panel_text(int index, const std::string& text) {
    if (index < 0 || index >= m_panels.size()) {
        return false;
    }
    Panel& p = m_panels[index];
    p.text = text;
    // A panel shows one line: line breaks (the multi-line PC/SC failures) become blanks, so the
    // bar and the fixed-size window never grow, and a long line is cut at the panel's edge. The
    // tool tip keeps the whole text with its lines.
    const QString whole = to_display(text);
    QString shown = whole;
    shown.replace(QLatin1String("\r\n"), QLatin1String(" "));
    shown.replace(QLatin1Char('\r'), QLatin1Char(' '));
    shown.replace(QLatin1Char('\n'), QLatin1Char(' '));
    p.label->setText(shown);
    p.label->setToolTip(whole.trimmed().isEmpty() ? QString() : whole);
    return true;
}

std::string StatusBar::panel_text(int index) const {
    if (index < 0 || index >= m_panels.size()) {
        return {};
    }
    return m_panels[index].text;
}

QLabel* StatusBar::panel(int index) const {
    if (index < 0 || index >= m_panels.size()) {
        return nullptr;
    }
    return m_panels[index].label;
}

ListBox::ListBox(QWidget* parent) : QListWidget(parent) {}

std::string ListBox::text() const {
    std::string joined;
    for (int i = 0; i < count(); ++i) {
        joined += item(i)->text().toLocal8Bit().toStdString() + "\r\n";
    }
    return joined;
}

void ListBox::add_item(const std::string& text) {
    addItem(to_display(text));
}

void ListBox::scroll_to_item(int index) {
    if (QListWidgetItem* shown = item(index)) {
        scrollToItem(shown, QAbstractItemView::PositionAtBottom);
    }
}

}  // namespace qel::log
