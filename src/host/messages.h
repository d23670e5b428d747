// Message boxes: where the engine tells the user something it cannot put in
// a cell (an installation failure, a browser that cannot be opened). A
// desktop front end would show a box; the command line prints the message;
// tests record it. Every box here has only an OK button, so nothing is
// answered. Event-loop thread only.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::host {

// Icons, numbered as the platform's message-box styles number them.
enum class MessageIcon : std::int32_t {
  None = 0,
  Critical = 16,
  Question = 32,
  Exclamation = 48,
  Information = 64,
};

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void message_box(std::string_view text, std::string_view title, MessageIcon icon) = 0;
};

// Keeps every message, for tests.
class RecordingMessages final : public MessageSink {
 public:
  struct Message {
    std::string text;
    std::string title;
    MessageIcon icon = MessageIcon::None;
  };
  void message_box(std::string_view text, std::string_view title, MessageIcon icon) override {
    messages.push_back({std::string(text), std::string(title), icon});
  }
  std::vector<Message> messages;
};

// Writes "title: text" lines to a stream (standard error for the command
// line); a box without a title is its text alone. A carriage return alone
// (a line break in a box's text) starts a new line.
class StreamMessages final : public MessageSink {
 public:
  explicit StreamMessages(std::ostream& out) : m_out(out) {}
  void message_box(std::string_view text, std::string_view title, MessageIcon) override {
    if (!title.empty()) m_out << title << ": ";
    for (std::size_t i = 0; i < text.size(); ++i) {
      const bool lone_cr = text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n');
      m_out << (lone_cr ? '\n' : text[i]);
    }
    m_out << "\n";
  }

 private:
  std::ostream& m_out;
};

}  // namespace quillo::host
