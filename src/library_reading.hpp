// How the sound server's client library reads its configuration files, as far as autospawn is
// concerned, in whatever locale a client runs. Measured with Debian's pactl 16.1 (PULSE_LOG=4
// names every file it parses, every line it rejects, and whether it tries to autospawn):
//  - It reads a file in pieces of at most 4095 bytes, each ending after a newline or there; a
//    NUL byte ends what it sees of its piece.
//  - It skips spaces, tabs and newlines at the start of a piece (not a carriage return) and
//    cuts the piece at its first ';', '#' or newline. What is left, if anything, is one of:
//    ".include PATH": that file is read at this point (PATH relative to the directory of the
//      file that names it); a missing file adds nothing, a file that cannot be read (for the
//      client, which is not root) is rejected;
//    "[NAME]": a section, which changes nothing; "[Properties]", or no ']' at the very end, is
//      rejected;
//    "KEY = VALUE", each side stripped of spaces, tabs, carriage returns and newlines: an
//      unknown KEY, no '=' at all, or a VALUE that its KEY cannot take is rejected.
//  - A rejected piece ends the reading of its file, and of every file that includes it; the
//    drop-ins that follow are read all the same.
//  - autospawn is on for 1, y, t, yes, true or on and off for 0, n, f, no, false or off, in any
//    case; any other value is matched against the yes and no expressions of the client's
//    locale, so it may be on, off or rejected.
//  - The drop-ins are read in the order of strcoll() in the client's locale, and the locales
//    that the C library ships give several orders: Czech and Slovak sort digits after letters,
//    Estonian puts "t" after "z", Khmer puts "_" and "~" first. A drop-in that cannot be read
//    is skipped, and one that cannot be listed reads as none at all.
//  - A client that cannot open client.conf reads no file at all, not even the drop-ins.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

// The setting this is all about.
inline constexpr std::string_view autospawn_key = "autospawn";

// A set of values that autospawn may have.
using Values = unsigned;
inline constexpr Values autospawn_on = 1U;
inline constexpr Values autospawn_off = 2U;

// What reading a stretch of a file may do to autospawn: for each value it had before, the
// values it may have where the library stops reading that file at a rejected piece, and where
// it reads on.
class Effect {
public:
    static Effect nothing() { return {{0, 0}, {autospawn_on, autospawn_off}}; }
    static Effect sets(Values value) { return {{0, 0}, {value, value}}; }
    // A value whose meaning depends on the client's locale.
    static Effect sets_by_locale() { return {{autospawn_on, autospawn_off}, {both, both}}; }
    static Effect maybe_rejected()
    {
        return {{autospawn_on, autospawn_off}, {autospawn_on, autospawn_off}};
    }
    static Effect rejected() { return {{autospawn_on, autospawn_off}, {0, 0}}; }

    // This stretch, then next.
    [[nodiscard]] Effect then(const Effect& next) const;
    // The values autospawn may have once a whole file is read, entered with before.
    [[nodiscard]] Values after(Values before) const;

private:
    static constexpr Values both = autospawn_on | autospawn_off;
    Effect(std::array<Values, 2> stopped, std::array<Values, 2> reading)
        : stopped_{stopped}, reading_{reading}
    {
    }
    // Indexed by the value before: [0] on, [1] off.
    std::array<Values, 2> stopped_;
    std::array<Values, 2> reading_;
};

// One file as the library reads it, fed line by line: the effect of its own pieces, with the
// files it includes between them.
class FileReading {
public:
    explicit FileReading(std::string_view path);
    // One line, without its newline (which would only be cut from its last piece).
    void add_line(std::string_view line);
    // The same, to this reading and to same_line, a reading of the same file in which the line
    // stands as it does here: read once for both.
    void add_line(std::string_view line, FileReading& same_line);

    struct Part {
        Effect before = Effect::nothing(); // the pieces before the include
        std::string include;               // the path included, as the library opens it
    };
    [[nodiscard]] const std::vector<Part>& includes() const { return parts_; }
    // The pieces after the last include.
    [[nodiscard]] const Effect& rest() const { return rest_; }
    // Whether a piece of its own may switch autospawn on, in some locale.
    [[nodiscard]] bool may_enable() const { return may_enable_; }

private:
    // What one piece does: nothing, include a file, or have an effect.
    struct Piece {
        bool counts = false; // else blank or a comment
        bool is_include = false;
        std::string_view include{}; // the path an include names, as written
        Effect effect = Effect::nothing();
        bool may_enable = false;
    };
    static Piece read_piece(std::string_view piece);
    void add(const Piece& piece);

    std::string directory_; // where relative includes are found
    std::vector<Part> parts_;
    Effect rest_ = Effect::nothing();
    bool may_enable_ = false;
};

// The tool's own drop-ins, each saying autospawn is off. No one name is read after every
// package's drop-in in every locale ("zz-" comes before "01-" in Czech, "99-" before "enable-"
// in most); in each locale, the later of these two is.
inline constexpr std::string_view own_drop_in_99 = "99-pulse-autospawn-off.conf";
inline constexpr std::string_view own_drop_in_zz = "zz-pulse-autospawn-off.conf";

// Whether a drop-in of some name is read before each own drop-in in every locale that the C
// library ships. The rule, measured over every character and every collating element that its
// locale sources define: a name that begins with a digit from 0 to 8 comes before "99-…"; one
// that begins with a letter from a to s, in either case, before "zz-…", unless it begins with
// a letter that some locale sorts after "z" (Danish "aa", Oromo "ch", Uzbek "oʻ" and others,
// listed in one table).
struct BeforeOwn {
    bool before_99;
    bool before_zz;
};
BeforeOwn read_before_own_in_every_locale(std::string_view drop_in_name);
