// A model of the operator's terminal for the menu tests: an 80x25 screen
// that understands the sequences the installer sends (cursor moves, erase
// line and screen, attributes, cursor visibility) and records the
// attributes of every cell. Anything else it is sent is kept in
// unknown_sequences, so a test notices a stray byte.
#pragma once

#include <string>
#include <vector>

// One character cell: the character and the ATTR_* flags it was drawn with.
struct ScreenCell {
    char character = ' ';
    int attributes = 0;
};

class TerminalScreen {
  public:
    static constexpr int ROWS = 25;
    static constexpr int COLUMNS = 80;

    TerminalScreen();

    // Interprets bytes as a terminal would (newline only moves down, as
    // the pseudo-terminal turns every newline into carriage return and
    // line feed).
    void feed(const std::string& bytes);

    // Row r (1 to 25) as text, trailing spaces removed.
    std::string row_text(int row) const;

    // Row r with '#' where a cell carries all of attributes and '.'
    // elsewhere, trailing dots removed.
    std::string row_marks(int row, int attributes) const;

    const ScreenCell& cell(int row, int column) const { return cells_[row - 1][column - 1]; }

    int cursor_row() const { return row_; }
    int cursor_column() const { return column_; }
    bool cursor_hidden() const { return cursor_hidden_; }
    const std::string& unknown_sequences() const { return unknown_; }

  private:
    void put(char c);
    void line_feed();
    void control_sequence(const std::string& parameters, char final_byte);

    std::vector<std::vector<ScreenCell>> cells_;
    int row_ = 1;
    int column_ = 1;
    bool wrap_pending_ = false;
    int attributes_ = 0;
    bool cursor_hidden_ = false;
    // Parser state: 0 text, 1 after escape, 2 inside a control sequence.
    int state_ = 0;
    std::string parameters_;
    std::string unknown_;
};
