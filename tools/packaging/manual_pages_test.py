"""The manual pages and the tools' own answers agree.

    manual_pages_test.py PAGES_LIST BIN_DIR VERSION

PAGES_LIST has a line per packaged tool: "NAME SECTION PAGE INCLUDE MAIN"
(the made page, its .h2m include and the source of the tool's help text).
For every tool: --version prints the one version; --help starts with its
synopsis and describes every option it names; the page names no option
that --help does not describe (examples only count where they run the tool
itself), and its OPTIONS section has every one that --help describes; the
page has the sections a reader expects; `man -l` renders it without a
warning. Every brindlex-* program of the build has a page, unless it is
left out of the package on purpose. Each failure says what to change.
"""

import os
import re
import subprocess
import sys

# Programs of the host build that are not in the package, and why.
LEFT_OUT = {
    "brindlex-installer": "the installer runs as init on the boot system only",
    "brindlex-sfdisk": "the boot system's partitioning tool",
    "brindlex-relay": "the network lab's hub",
    "brindlex-netpeer": "the network lab's protocol peer",
}
SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES"]
# An option: one or two hyphens and a letter, not inside a word ("CRC-32",
# "serial-console") or a path.
OPTION = re.compile(r"(?<![\w/.\-])(--?[A-Za-z][\w\-]*)")
# An option line of a help text, as help2man reads one: 1 to 10 spaces,
# the option (and its value), then its description.
OPTION_LINE = re.compile(r"^ {1,10}([+-]\S.*?)(?:  +|$)")

problems = []


def problem(text):
    problems.append(text)


def run(args):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, text=True, timeout=60)


def help_options(help_text):
    """(options the synopsis names, options the option list describes,
    options named anywhere)."""
    synopsis, described = set(), set()
    in_usage = True
    for line in help_text.splitlines():
        if in_usage and re.match(r"^(Usage:|  or: )", line):
            synopsis.update(OPTION.findall(line))
            continue
        in_usage = False
        m = OPTION_LINE.match(line)
        if m:
            described.update(OPTION.findall(m.group(1)))
    return synopsis, described, set(OPTION.findall(help_text))


def plain_roff(line):
    """A roff line as its text: escapes and font changes gone, \\- as -."""
    line = re.sub(r"\\f(\(..|\[[^]]*\]|.)", "", line)
    line = line.replace("\\-", "-").replace("\\e", "\\")
    return re.sub(r"\\[,/&|^ ]", "", line)


def page_sections(page_path):
    """The page's sections: name -> list of plain text lines."""
    sections, current = {}, None
    with open(page_path, encoding="utf-8") as f:
        for raw in f:
            raw = raw.rstrip("\n")
            m = re.match(r'^\.SH\s+"?([^"]*)"?\s*$', raw)
            if m:
                current = m.group(1).strip()
                sections[current] = []
            elif current is not None and not raw.startswith('.\\"'):
                text = re.sub(r"^\.(?:B|I|BR|IR|RB|RI|TP|TQ|PP|IP|RS|RE|nf|fi|br|SS|HP)\b\s*",
                              "", raw)
                sections[current].append(plain_roff(text))
    return sections


def example_options(lines, name):
    """Options of the example commands that run the tool itself: a command
    goes on past a line ending in a backslash; pipelines are split."""
    commands, current = [], ""
    for line in lines:
        current += " " + line.strip()
        if current.endswith("\\"):
            current = current[:-1]
            continue
        commands.append(current)
        current = ""
    commands.append(current)
    found = set()
    for command in commands:
        for part in re.split(r"\||;|&&", command):
            words = part.split()
            if words and os.path.basename(words[0]) == name:
                found.update(OPTION.findall(part))
    return found


def check_tool(name, section, page, include, main, version):
    where_help = "the help text in %s" % main
    r = run([os.path.join(bin_dir, name), "--version"])
    expected = "%s (Brindlex Router Software) %s\n" % (name, version)
    if r.returncode != 0 or r.stdout != expected:
        problem("%s --version printed %r (status %d), not %r: answer it with "
                "answer_standard_option() (tools/tool_help) in %s"
                % (name, r.stdout, r.returncode, expected, main))
    r = run([os.path.join(bin_dir, name), "--help"])
    if r.returncode != 0 or not r.stdout.startswith("Usage: %s " % name):
        problem("%s --help: status %d, output starting %r; it must print %s on standard "
                "output, starting 'Usage: %s ...', and exit 0"
                % (name, r.returncode, r.stdout[:40], where_help, name))
        return
    synopsis, described, named = help_options(r.stdout)
    for option in sorted({"-h", "--help", "--version"} - described):
        problem("%s --help does not describe %s: add its line to %s" % (name, option, where_help))
    for option in sorted(synopsis - described):
        problem("%s: the synopsis names %s, which the option list of --help does not "
                "describe: add a line for it (2 spaces in, the description 2 or more spaces "
                "after it) to %s" % (name, option, where_help))
    for option in sorted(named - described - synopsis):
        problem("%s --help mentions %s but does not describe it: describe it, or stop "
                "naming it, in %s" % (name, option, where_help))

    if not os.path.exists(page):
        problem("%s has no page %s: build it (it is made by help2man)" % (name, page))
        return
    sections = page_sections(page)
    for wanted in SECTIONS:
        if wanted not in sections:
            source = ("an 'Exit status:' block in " + where_help if wanted == "EXIT STATUS"
                      else "a [%s] section in %s" % (wanted.lower(), include))
            problem("%s(%s) has no %s section: add %s" % (name, section, wanted, source))
    if any("manual page for" in line for line in sections.get("NAME", [])):
        problem("%s(%s) has no NAME line of its own: add a [name] section to %s"
                % (name, section, include))
    page_options = set()
    for title, lines in sections.items():
        if title == "EXAMPLES":
            page_options |= example_options(lines, name)
        elif title != "SEE ALSO":
            page_options |= set(OPTION.findall("\n".join(lines)))
    for option in sorted(page_options - described):
        problem("%s(%s) names %s, which %s --help does not describe: remove it from %s, "
                "or describe it in %s" % (name, section, option, name, include, where_help))
    in_options = set(OPTION.findall("\n".join(sections.get("OPTIONS", []))))
    for option in sorted(described - in_options):
        problem("%s --help describes %s but the page's OPTIONS section lacks it: help2man "
                "did not read its line as an option; in %s write it 2 spaces in with its "
                "description 2 or more spaces after it (or on the next line, 20 or more "
                "spaces in)" % (name, option, where_help))

    # What lintian runs: any warning of man or groff fails.
    r = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page],
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                       env=dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80"))
    if r.returncode != 0 or r.stderr.strip():
        problem("man -l %s warns (status %d): %s; fix the text in %s or %s"
                % (page, r.returncode, r.stderr.strip(), include, where_help))


def main():
    global bin_dir
    pages_list, bin_dir, version = sys.argv[1:4]
    tools = []
    with open(pages_list) as f:
        for line in f:
            if line.strip():
                tools.append(line.split())
    for name, section, page, include, main_source in tools:
        check_tool(name, section, page, include, main_source, version)
    paged = {t[0] for t in tools}
    for program in sorted(os.listdir(bin_dir)):
        if program.startswith("brindlex-") and program not in paged | set(LEFT_OUT):
            problem("%s is built but has no manual page and is not in the package: call "
                    "brindlex_packaged_tool(%s 1) (8 if it needs root) after its add_executable "
                    "and write %s.h2m beside that CMakeLists.txt ([name], [files], [examples]); "
                    "or, if it stays out of the package, add it to LEFT_OUT in %s"
                    % (program, program, program, os.path.abspath(__file__)))
    if not tools:
        problem("no packaged tool listed in %s" % pages_list)
    for text in problems:
        print("FAIL: " + text)
    print("%d tools checked, %d problems" % (len(tools), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
