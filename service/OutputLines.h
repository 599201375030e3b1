#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>

#include <algorithm>

// What a child process writes on one channel, cut into lines with bounded
// memory: an unfinished line is held up to `maxLine` bytes; a longer line is
// handed on cut at that length, once, and the rest of it up to its newline
// is dropped. A child writing without end costs no more than one line.
class OutputLines {
public:
    explicit OutputLines(qsizetype maxLine)
        : m_maxLine(maxLine) {}

    // Calls `line(QByteArrayView bytes, bool cut)` for each line `data` ends.
    template <typename Handler> void feed(QByteArrayView data, Handler&& line) {
        while (!data.isEmpty()) {
            const qsizetype end = data.indexOf('\n');
            const QByteArrayView piece = end < 0 ? data : data.first(end);
            if (!m_skipping) {
                const qsizetype room = m_maxLine - m_partial.size();
                if (piece.size() > room) {
                    m_partial.append(piece.first(room));
                    line(QByteArrayView(m_partial), true);
                    m_partial.clear();
                    m_skipping = true;
                } else {
                    m_partial.append(piece);
                    if (end >= 0) {
                        line(QByteArrayView(m_partial), false);
                        m_partial.clear();
                    }
                }
            }
            if (end < 0)
                break;
            m_skipping = false;
            data = data.sliced(end + 1);
        }
    }
    // The unfinished line, when the child is gone.
    template <typename Handler> void finish(Handler&& line) {
        if (!m_partial.isEmpty())
            line(QByteArrayView(m_partial), false);
        m_partial.clear();
        m_skipping = false;
    }

private:
    qsizetype m_maxLine;
    QByteArray m_partial;
    bool m_skipping = false; // the rest of a line already handed on cut
};

// How many lines of a child's output reach the journal: at most `perSecond`
// in any one second; the others are counted, and the count is told once the
// second is over, so a flood shows as one line instead of filling the log.
class LineRate {
public:
    static constexpr int defaultPerSecond = 100;

    explicit LineRate(int perSecond = defaultPerSecond)
        : m_perSecond(perSecond) {}

    // Whether one more line may be logged now. `suppressed` gets how many
    // were held back in the second that just ended (0 if none).
    bool admit(qint64* suppressed) {
        *suppressed = 0;
        if (!m_window.isValid() || m_window.elapsed() >= 1000) {
            *suppressed = std::exchange(m_suppressed, 0);
            m_window.start();
            m_count = 0;
        }
        if (m_count < m_perSecond) {
            ++m_count;
            return true;
        }
        ++m_suppressed;
        return false;
    }
    // Lines held back and not told yet, for the child's exit.
    qint64 takeSuppressed() { return std::exchange(m_suppressed, 0); }

private:
    int m_perSecond;
    int m_count = 0;
    qint64 m_suppressed = 0;
    QElapsedTimer m_window;
};
