#include "terminal_screen.h"

#include <cstdlib>

#include "packages/screen_control.h"

TerminalScreen::TerminalScreen() : cells_(ROWS, std::vector<ScreenCell>(COLUMNS)) {}

void TerminalScreen::feed(const std::string& bytes) {
    for (char c : bytes) {
        if (state_ == 1) {
            if (c == '[') {
                state_ = 2;
                parameters_.clear();
            } else {
                unknown_ += std::string("\\e") + c;
                state_ = 0;
            }
            continue;
        }
        if (state_ == 2) {
            if ((c >= '0' && c <= '9') || c == ';' || c == '?') {
                parameters_ += c;
            } else {
                control_sequence(parameters_, c);
                state_ = 0;
            }
            continue;
        }
        switch (c) {
            case '\033':
                state_ = 1;
                break;
            case '\r':
                column_ = 1;
                wrap_pending_ = false;
                break;
            case '\n':
                line_feed();
                break;
            default:
                if (static_cast<unsigned char>(c) < 32) {
                    unknown_ += "^" + std::to_string(static_cast<int>(c));
                } else {
                    put(c);
                }
        }
    }
}

void TerminalScreen::put(char c) {
    if (wrap_pending_) {
        column_ = 1;
        line_feed();
    }
    cells_[row_ - 1][column_ - 1] = ScreenCell{c, attributes_};
    if (column_ == COLUMNS) {
        wrap_pending_ = true;
    } else {
        ++column_;
    }
}

void TerminalScreen::line_feed() {
    wrap_pending_ = false;
    if (row_ < ROWS) {
        ++row_;
        return;
    }
    cells_.erase(cells_.begin());
    cells_.emplace_back(COLUMNS);
}

void TerminalScreen::control_sequence(const std::string& parameters, char final_byte) {
    std::vector<int> numbers;
    std::string piece;
    for (size_t i = 0; i <= parameters.size(); ++i) {
        if (i == parameters.size() || parameters[i] == ';') {
            numbers.push_back(piece.empty() ? 0 : atoi(piece.c_str()));
            piece.clear();
        } else if (parameters[i] != '?') {
            piece += parameters[i];
        }
    }
    auto at = [&](size_t i) { return i < numbers.size() ? numbers[i] : 0; };
    auto clamp = [](int v, int high) { return v < 1 ? 1 : (v > high ? high : v); };
    bool private_mode = !parameters.empty() && parameters[0] == '?';

    if (private_mode && parameters == "?25" && (final_byte == 'l' || final_byte == 'h')) {
        cursor_hidden_ = final_byte == 'l';
    } else if (!private_mode && final_byte == 'H') {
        row_ = clamp(at(0), ROWS);
        column_ = clamp(at(1), COLUMNS);
        wrap_pending_ = false;
    } else if (!private_mode && final_byte == 'A') {
        // Cursor up (the fleet's progress lines, redrawn in place).
        row_ = clamp(row_ - (at(0) < 1 ? 1 : at(0)), ROWS);
        wrap_pending_ = false;
    } else if (!private_mode && final_byte == 'J' && at(0) == 2) {
        for (auto& row : cells_) row.assign(COLUMNS, ScreenCell{});
    } else if (!private_mode && final_byte == 'K' && at(0) == 2) {
        cells_[row_ - 1].assign(COLUMNS, ScreenCell{});
    } else if (!private_mode && final_byte == 'm') {
        for (int n : numbers) {
            switch (n) {
                case 0:
                    attributes_ = 0;
                    break;
                case 1:
                    attributes_ |= ATTR_BOLD;
                    break;
                case 4:
                    attributes_ |= ATTR_UNDERLINE;
                    break;
                case 5:
                    attributes_ |= ATTR_BLINK;
                    break;
                case 7:
                    attributes_ |= ATTR_REVERSE;
                    break;
                default:
                    unknown_ += "\\e[" + parameters + final_byte;
            }
        }
    } else {
        unknown_ += "\\e[" + parameters + final_byte;
    }
}

std::string TerminalScreen::row_text(int row) const {
    std::string text;
    for (const ScreenCell& cell : cells_[row - 1]) text += cell.character;
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::string TerminalScreen::row_marks(int row, int attributes) const {
    std::string marks;
    for (const ScreenCell& cell : cells_[row - 1]) {
        marks += (cell.attributes & attributes) == attributes ? '#' : '.';
    }
    size_t end = marks.find_last_not_of('.');
    return end == std::string::npos ? std::string() : marks.substr(0, end + 1);
}
