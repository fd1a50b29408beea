// The placeholders against the shells themselves: generated templates run
// from hostile directories, each value read exactly or refused, never read as
// anything else; and the places the build warns about.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/testutil.h"
#include "driver/driver.h"
#include "driver/extract.h"

using namespace driver;

namespace {

// A plain %o for the reference run; no name character first, so that it
// cannot go on with a "$NAME" before it.
constexpr const char *MARK = ".M4RKo.";

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// Run before each command: no field splitting or globbing of what the words
// expand to, which would tell a value from the plain one the reference ran
// with although the shell read both exactly.
const std::string SETTLE = "IFS=; set -f\n";

enum class verdict { exact, refused, wrong };

class ShellDifferential : public ::testing::Test {
protected:
    testutil::TempDir dir;
    char saved[4096];
    std::vector<std::string> shells{"/bin/sh"};
    std::string plain_dir;
    int exact = 0, refused = 0;
    std::string ref_tpl;                   // the template of the reference runs below
    std::vector<testutil::RunResult> refs; // one per shell
    std::vector<std::string> env;          // the locale every shell runs in, when not the test's own

    void SetUp() override {
        testutil::reset_codec_state();
        testutil::reset_driver_state();
        ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
        // Whichever shell /bin/sh is, the other common one must read the same.
        if (access("/bin/bash", X_OK) == 0) shells.push_back("/bin/bash");
        plain_dir = dir / "plain";
        ASSERT_EQ(mkdir(plain_dir.c_str(), 0755), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(saved), 0); }

    // A directory under the test's own, named name; made once.
    std::string hostile_dir(const std::string &name) {
        std::string d = dir / name;
        mkdir(d.c_str(), 0755);
        return d;
    }

    // Expands tpl with %o = value from the directory cwd; null when refused.
    static std::string expand_in(const std::string &tpl, const std::string &value, const std::string &cwd,
                                 bool &was_refused) {
        std::strcpy(codec::ofname, value.c_str());
        EXPECT_EQ(chdir(cwd.c_str()), 0);
        Perr why = PE_NONE;
        char which = 0;
        char *r = replace_program_parms(tpl.c_str(), &why, &which);
        was_refused = r == nullptr;
        if (r == nullptr) {
            // A refusal names its placeholder; only length is refused without one.
            EXPECT_TRUE((why == PE_UNQUOTABLE || why == PE_ENDS_DOC) && (which == 'o' || which == 'p'))
                << tpl << " why " << why;
            return {};
        }
        std::string s = r;
        std::free(r);
        return s;
    }

    // The shell's reading of tpl with value as %o and cwd as %p must be the
    // reference run's with the plain stand-ins put back, or be refused.
    verdict judge(const std::string &tpl, const std::string &value, const std::string &cwd) {
        bool no = false;
        const std::string ref_cmd = expand_in(tpl, MARK, plain_dir, no);
        if (no) return verdict::refused;
        bool was_refused = false;
        const std::string cmd = expand_in(tpl, value, cwd, was_refused);
        if (was_refused) {
            refused++;
            return verdict::refused;
        }
        if (ref_tpl != tpl) {
            refs.clear();
            for (const std::string &sh : shells) {
                testutil::RunOptions ro;
                ro.stdin_null = true;
                ro.cwd = plain_dir;
                ro.env = env;
                refs.push_back(testutil::run({sh, "-c", SETTLE + ref_cmd}, ro));
            }
            ref_tpl = tpl;
        }
        for (std::size_t k = 0; k < shells.size(); k++) {
            const std::string &sh = shells[k];
            const testutil::RunResult &ref = refs[k];
            testutil::RunOptions ro;
            ro.stdin_null = true;
            ro.cwd = cwd;
            ro.env = env;
            const auto got = testutil::run({sh, "-c", SETTLE + cmd}, ro);
            const std::string want = replace_all(replace_all(ref.out, MARK, value), plain_dir, cwd);
            if (got.out != want || got.status != ref.status) {
                ADD_FAILURE() << sh << ": " << tpl << "\n -> " << cmd << "\n printed [" << got.out << "] status "
                              << got.status << "\n wanted  [" << want << "] status " << ref.status;
                return verdict::wrong;
            }
        }
        exact++;
        return verdict::exact;
    }

    void expect_nothing_ran() {
        EXPECT_EQ(system(("find '" + dir.path() + "' -name pwned | grep -q .").c_str()) == 0, false)
            << "a value ran as a command";
    }
};

// Values of %o and names of the directory of %p that a shell would read as
// something else if they were not quoted for exactly their place.
const std::vector<std::string> hostile_values = {
    "a b",          "x\nEOF\ntouch pwned", "$(touch pwned)", "`touch pwned`", "a;touch pwned", "}", "a}b",
    "it's",         "q\"uote",             "back\\slash",     "\ttab",          "x\n\ty",        ")", "case)",
    "a\\\nb",       "x\nA\ntouch pwned\nB", "#x\ntouch pwned",
};
const std::vector<std::string> hostile_dirs = {
    "my dir",       "x\nEOF\ntouch pwned", ";touch pwned;", "`touch pwned`", "$(touch pwned)", "}",
    "\ttab",        "it's",                "q\"uote",       "p)",
};

// Words that hold a hole H: the placeholders stand in H, or other words do.
const std::vector<std::string> word_forms = {
    "H",
    "'H'",
    "\"H\"",
    "x'H'y",
    "\"<H>\"",
    "\\H",
    "\"\\H\"",
    "\"$(printf %s H)\"",
    "\"$(printf %s \"H\")\"",
    "\"`printf %s H`\"",
    "\"`printf %s 'H'`\"",
    "\"`printf %s \\\"H\\\"`\"",
    "\"`printf %s \\$(printf %s H)`\"",
    "\"`printf %s \\\\H`\"",
    "\"`echo \\`printf %s H\\``\"",
    "\"`printf %s H # H`\"",
    "\"${X:-H}\"",
    "${X:-H}",
    "\"${X:-H}\"'}'",
    "\"$(case a in a) printf %s H;; esac)\"",
    "\"$(printf %s H # H\n)\"",
    "\"$H\"",
    "\"$XH\"",
    "\"${X}H\"",
    "\"$((1+1))H\"",
    "$(printf a)#H",
    "`printf a`#H",
};
// Here-document body lines that hold a hole.
const std::vector<std::string> body_forms = {
    "H", "a H b", "\tH", "$(printf %s H)", "`printf %s H`", "${X:-H}", "\\H", "$H", "a\\\nH",
};
// Commands around the words (W) and body lines (B).
const std::vector<std::string> command_forms = {
    "printf %s W",
    "printf %s W W",
    "printf %s W # W",
    "printf '[%s]' W; printf '[%s]' W",
    "cat <<EOF\nB\nEOF",
    "cat <<'EOF'\nB\nEOF",
    "cat <<\\EOF\nB\nEOF",
    "cat <<-EOF\n\tB\n\tEOF",
    "cat <<-'EOF'\nB\nEOF",
    "cat <<A; cat <<Z\nB\nA\nB\nZ",
    "cat <<EOF\na\\\nB\nEOF",
    "cat <<DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD\nB\n"
    "DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD\nprintf %s W",
    "printf %s $((1<<2)) >/dev/null\nprintf %s W\n2",
    "cat <<EOF >/dev/null\nB\nEOF\nprintf %s W",
    "printf %s \"$(cat <<EOF\nB\nEOF\n)\"",
    "printf %s \"$(cat <<'EOF'\nB\nEOF\n)\"",
    "printf %s W \\\n# W",
};

class Grammar {
public:
    explicit Grammar(unsigned seed) : rng(seed) {}
    std::string command() {
        std::string c = pick(command_forms);
        std::string out;
        for (char ch : c) {
            if (ch == 'W') out += word(0);
            else if (ch == 'B' && bodyish(out)) out += body();
            else out += ch;
        }
        return out;
    }

private:
    std::mt19937 rng;
    const std::string &pick(const std::vector<std::string> &v) { return v[rng() % v.size()]; }
    std::string hole(int depth) {
        if (depth < 2 && rng() % 3 == 0) return word(depth + 1);
        return rng() % 2 == 0 ? "%o" : "%p";
    }
    std::string fill(const std::string &form, int depth) {
        std::string out;
        // After a '$' only a placeholder: "$$" would differ from run to run.
        for (char ch : form) out += ch != 'H' ? std::string(1, ch) : !out.empty() && out.back() == '$' ? hole(2) : hole(depth);
        return out;
    }
    std::string word(int depth) { return fill(pick(word_forms), depth); }
    std::string body() { return fill(pick(body_forms), 1); }
    // A 'B' of a command form is a body line unless it is part of a delimiter.
    static bool bodyish(const std::string &so_far) { return so_far.empty() || so_far.back() == '\n' || so_far.back() == '\t'; }
};

} // namespace

// Over a thousand reads, each exact or refused; a construct that is not followed
// exactly must refuse, never pass a value on to be read as something else.
TEST_F(ShellDifferential, GeneratedTemplatesFromHostileDirectoriesAreExactOrRefused) {
    Grammar g(20201);
    for (int t = 0; t < 80; t++) {
        const std::string tpl = g.command();
        for (std::size_t i = 0; i < hostile_values.size(); i++) {
            const std::string cwd = hostile_dir(hostile_dirs[i % hostile_dirs.size()]);
            if (judge(tpl, hostile_values[i], cwd) == verdict::wrong) break;
        }
    }
    expect_nothing_ran();
    // Neither side may win by default.
    EXPECT_GT(exact, 200);
    EXPECT_GT(refused, 200);
}

// Each construct a value could once escape from: followed exactly, or every
// value with more than the plain characters refused.
TEST_F(ShellDifferential, EachConstructIsFollowedExactlyOrRefusesAnOddValue) {
    struct Case {
        const char *tpl;
        bool followed; // every hostile value goes in exactly (else: every one is refused)
    };
    const Case cases[] = {
        {"cat <<EOF\n%o\nEOF", false},                           // a newline cannot be carried in a body
        {"cat <<EOF\n$(printf %s %o)\nEOF", false},              // $( ) within a body
        {"cat <<EOF\n`printf %s %o`\nEOF", false},               // backquotes within a body
        {"printf %s \"$(case a in a) printf %s %o;; esac)\"", false},
        {"x=$((1<<2))\nprintf %s %o\n2", false},                 // << taken for a here-document
        {"printf %s \"`printf %s %o # c`\"", false},             // a comment in backquotes
        {"printf %s \"`printf %s $(printf %s %o)`\"", false},    // $( ) in backquotes
        {"printf %s \"`printf %s \\$(printf %s %o)`\"", false},  // \$ read first by the backquotes
        {"printf %s \"`printf %s \\\\%o`\"", false},             // \\ likewise
        {"printf %s \"`echo \\`printf %s %o\\``\"", false},      // nested backquotes
        {"cat <<A; cat <<B\n%o\nA\nx\nB", false},                // two here-documents opened on one line
        {"cat <<EOF\na\\\n%o\nEOF", false},                      // backslash-newline in a body
        {"cat <<DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD\nx\n"
         "DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD\nprintf %s %o",
         false},                                                 // a delimiter longer than 64
        {"printf %s \"${X:-%o}\"", false},                       // the word of ${ } in double quotes
        {"printf %s \"$%o\"", false},                            // a '$' before the value
        {"printf %s \"\\%o\"", false},                           // a backslash in double quotes
        {"[[ a <#%o ]] || printf %s %o", false},
        {"printf %s %o", true},
        {"printf %s \"%o\" '%o'", true},
        {"printf %s \"$(printf %s \"%o\")\"", true},
        {"printf %s \"`printf %s %o`\"", true},
        {"printf %s \"`printf %s \\\"%o\\\"`\"", true},
        {"cat <<EOF\nEOF\nprintf %s %o", true},                  // after a here-document that ended
        {"printf %s \"$(cat <<'EOF'\nEOF\n)\" %o", true},
        {"printf %s %o # %o", true},
        {"printf %s \"$(printf %s %o # %o )\n)\"", true},
        {"printf %s \"${HOME}\"%o", true},
        {"printf %s $(printf a)#%o", true},                      // the word goes on after a substitution
        {"printf %s `printf a`#%o", true},
        {"printf %s \"$?(printf %s %o)\"", true},               // a special parameter opens nothing
        {"printf %s \"$$(printf %s %o)\" >/dev/null; printf ok", false},  // read two ways
        {"printf %s \"`printf %s '`\"%o\"'`\"", false},      // a backquote ends one whatever quotes are open
        {"printf %s `printf %s \"`%o\"`\"", false},
    };
    const std::string cwd = hostile_dir("x\nEOF\n$(touch pwned)");
    for (const Case &c : cases) {
        for (const std::string &v : hostile_values) {
            // A value with no newline goes in exactly where only a newline cannot.
            const bool body_only = std::string(c.tpl).rfind("cat <<EOF\n%o", 0) == 0;
            const verdict want = c.followed || (body_only && v.find('\n') == std::string::npos)
                                     ? verdict::exact
                                     : verdict::refused;
            EXPECT_EQ(judge(c.tpl, v, plain_dir) == want, true) << c.tpl << " with [" << v << "]";
        }
    }
    // And %p from a directory whose name holds a newline, the delimiter and $( ).
    EXPECT_EQ(judge("cat <<EOF\n%p\nEOF", "x", cwd), verdict::refused);
    EXPECT_EQ(judge("printf %s %p \"%p\" '%p'", "x", cwd), verdict::exact);
    expect_nothing_ran();
}

// Locales whose double-byte characters may end in '\\', '`' or '$': a path to
// them (for LOCPATH), or empty with why they could not be made.
struct MultibyteLocales {
    testutil::TempDir dir;
    std::string why;
    MultibyteLocales() {
        for (const char *args : {"-f GBK -i zh_CN zh_CN.GBK", "-f BIG5 -i zh_TW zh_TW.BIG5",
                                 "-f SHIFT_JIS -i ja_JP --no-warnings=ascii ja_JP.SJIS"}) {
            const std::string name = std::strrchr(args, ' ') + 1;
            const std::string cmd = "localedef " + std::string(args, std::strrchr(args, ' ')) + " '" + (dir / name) +
                                    "' >/dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0) {
                why = "localedef could not make " + name + " (the locales package is needed)";
                return;
            }
        }
    }
};

// In GBK, Big5 and Shift_JIS a byte of 0x81 or more takes the next byte with
// it, a backslash or a backquote included: a value whose lead byte stands
// before a quote, a '$', a '`' or a '\' still arrives exactly in bash, in
// every construct, or is refused; it never runs.
TEST_F(ShellDifferential, LeadBytesInMultibyteLocalesAreExactOrRefused) {
    static MultibyteLocales locales;
    if (!locales.why.empty()) {
        if (testutil::in_ci()) FAIL() << "CI=true, but " << locales.why;
        GTEST_SKIP() << locales.why;
    }
    if (access("/bin/bash", X_OK) != 0) GTEST_SKIP() << "no bash, the shell that reads these locales";
    shells = {"/bin/bash"};
    const std::vector<std::string> values = {"\x81\"; touch pwned; #", "\x81$(touch pwned)", "\x95`touch pwned`",
                                             "a\xe0\\", "\xa4\\\"$(touch pwned)\"", "\xe0\n\xa4\"touch pwned",
                                             "\xa4`touch pwned`", "\xe0\"; touch pwned; #"};
    const std::vector<std::string> dirs = {"\x81\"; touch pwned; #", "\xa4`touch pwned`", "\xe0$(touch pwned)"};
    for (const char *locale : {"zh_CN.GBK", "zh_TW.BIG5", "ja_JP.SJIS"}) {
        env = {"LOCPATH=" + locales.dir.path(), std::string("LC_ALL=") + locale};
        ref_tpl.clear();
        // The locale is in force: a lead byte and a backslash are one character.
        testutil::RunOptions ro;
        ro.env = env;
        ro.stdin_null = true;
        EXPECT_EQ(testutil::run({"/bin/bash", "-c", "x=$'\\xe0\\\\'; printf %s ${#x}"}, ro).out, "1") << locale;
        int before = exact;
        Grammar g(7);
        std::vector<std::string> templates;
        for (const std::string &w : word_forms) templates.push_back(replace_all("printf %s W", "W", replace_all(w, "H", "%o")));
        for (const std::string &b : body_forms) templates.push_back("cat <<EOF\n" + replace_all(b, "H", "%p") + "\nEOF");
        for (int t = 0; t < 30; t++) templates.push_back(g.command());
        for (const std::string &tpl : templates)
            for (std::size_t i = 0; i < values.size(); i++)
                if (judge(tpl, values[i], hostile_dir(dirs[i % dirs.size()])) == verdict::wrong) break;
        // Neither side may win by default.
        EXPECT_GT(exact - before, 60) << locale;
    }
    expect_nothing_ran();
    EXPECT_GT(refused, 60);
}

// A value the place cannot carry: a tab that would begin a <<- body line, or a
// line that would become the delimiter; elsewhere on the line both go in.
TEST_F(ShellDifferential, BodyLinesRefuseWhatWouldChangeThem) {
    EXPECT_EQ(judge("cat <<-EOF\n\t%o\n\tEOF", "\ttab", plain_dir), verdict::refused);
    EXPECT_EQ(judge("cat <<-EOF\nx%o\n\tEOF", "\ttab", plain_dir), verdict::exact);
    EXPECT_EQ(judge("cat <<EOF\n\t%o\nEOF", "\ttab", plain_dir), verdict::exact);
    EXPECT_EQ(judge("cat <<EOF\n%o\nEOF", "EOF", plain_dir), verdict::refused);
    EXPECT_EQ(judge("cat <<'EOF'\nE%o\nEOF\nprintf %s x", "OF", plain_dir), verdict::refused);
    EXPECT_EQ(judge("cat <<EOF\n%o\nEOF", "EOFx", plain_dir), verdict::exact);
    Perr why = PE_NONE;
    char which = 0;
    std::strcpy(codec::ofname, "EOF");
    EXPECT_EQ(replace_program_parms("cat <<EOF\n%o\nEOF", &why, &which), nullptr);
    EXPECT_EQ(why, PE_ENDS_DOC);
    EXPECT_EQ(which, 'o');
}

// Where the walk is not certain, a plain value still goes in as it always did.
TEST_F(ShellDifferential, PlainValuesGoInVerbatimWhereOthersAreRefused) {
    std::strcpy(codec::ofname, "app-1.2_x86+64:v=1,@50%.tar");
    for (const char *tpl : {"printf %s \"${X:-%o}\"", "x=$((1<<2))\nprintf %s %o", "cat <<EOF\n%o\nEOF",
                            "printf %s \"`printf %s \\$(printf %s %o)`\""}) {
        char *r = replace_program_parms(tpl);
        ASSERT_NE(r, nullptr) << tpl;
        EXPECT_EQ(std::string(r), replace_all(tpl, "%o", codec::ofname));
        std::free(r);
    }
    // Outside quotes a plain value that would lengthen a name before it is quoted.
    std::strcpy(codec::ofname, "app");
    char *r = replace_program_parms("printf %s $X%o $X/%o");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r), "printf %s $X'app' $X/app");
    std::free(r);
    // An empty value cannot stand after a backslash or a '$': it would leave
    // them to the template's next character.
    codec::ofname[0] = '\0';
    for (const char *tpl : {"printf %s \\%o'%p'", "printf %s \"$%o(printf %s %p)\"", "printf %s \"$X%o\""})
        EXPECT_EQ(replace_program_parms(tpl), nullptr) << tpl;
}

// The build's warning names the first placeholder that some value would see
// refused; exact places, and plain templates, draw none.
TEST(UncertainPlaceholder, NamesTheFirstPlaceWhereAValueCouldBeRefused) {
    const struct {
        const char *tpl;
        char which;
    } cases[] = {
        {"cat > %p/%o", 0},
        {"tar xf - -C \"%p\" && echo '%o' # %o", 0},
        {"printf %s \"$(printf %s \"%o\")\" %p", 0},
        // In backquotes a lead byte before a '`' or '\\' cannot be escaped.
        {"printf %s \"$(printf %s \"%o\")\" \"`printf %s %p`\"", 'p'},
        // Nor can a backslash after a lead byte of the template's own.
        {"printf %s \"\xff%o\"", 'o'},
        {"cd \"$DESTDIR%p\"", 0}, // a directory begins with '/', which ends the name
        {"cd \"$DESTDIR%o\"", 'o'},
        {"cat <<EOF > %p/x\n%o\nEOF", 'o'},
        {"cat <<'EOF'\n%p\nEOF", 'p'},
        {"printf %s \"${X:-%o}\"", 'o'},
        {"x=$((1<<2)); cd %p", 'p'},
        {"printf %s \"`printf %s \\\\%o`\" %p", 'o'},
        {"", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(uncertain_placeholder(c.tpl), c.which) << c.tpl;
}
