#!/usr/bin/env python3
"""Writes guidlookup's man page or bash completion from the tool's own --help,
or README.md with its settings table made from the library's table.

    python3 tools/make-docs.py build/tools/guidlookup man > tools/guidlookup.1
    python3 tools/make-docs.py build/tools/guidlookup completion > tools/guidlookup.bash-completion
    python3 tools/make-docs.py build/tools/print-settings-table readme > README.md.new

(or `cmake --build build --target guidlookup-docs`). The help texts in
tools/guidlookup.cpp are the one source: both files are made from them, and
the tool's tests fail when a committed file no longer matches what this
script makes.
"""
import os
import re
import subprocess
import sys

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "README.md")
TABLE_START = "<!-- Made by tools/make-docs.py from host/SettingsTable.cpp; do not edit. -->\n"
TABLE_END = "<!-- End of the made table. -->\n"

# Said once here, as the help has no room for it.
EXTRA_SECTIONS = r"""
.SH OUTPUT
Results go to standard output; a failure is one line on standard error,
\fBguidlookup: \fIwhat\fR. With \fB\-\-json\fR the output is JSON:
\fBresolve\fR prints an array of one object per key (with \fB\-\fR, one
object per line, each line flushed as it is answered); \fBinfo\fR,
\fBrefresh\fR, \fBdump\fR, \fBstats\fR and \fBcheck\fR print one object. A
failure is then also the object {"error": "\fItext\fR"} on standard output
(\fBinfo\fR and \fBrefresh\fR put "error" into their own object instead).
Bytes of a key or name that are not valid UTF\-8 appear as \eu00XX.
Times are ISO 8601 with the zone offset, for example 2026\-12\-08T09:30:00+01:00.
.SH EXIT STATUS
.TP
.B 0
Success.
.TP
.B 1
\fBresolve\fR: some key was not found. \fBcheck\fR: warnings, no error.
.TP
.B 2
A usage error or a bad input file.
.TP
.B 3
A failure of the library, the database, the settings or the output;
\fBcheck\fR: at least one error.
.TP
.B 130
An interrupted import.
.SH ENVIRONMENT
.TP
.B GUIDLOOKUPS_SETTINGS_DIR
Folder of the settings files \fI<instance>\fB.ini\fR.
.TP
.B GUIDLOOKUPS_INSTANCE
The instance (default Instance001).
.TP
.B GUIDLOOKUPS_LOG_FILE\fR, \fBGUIDLOOKUPS_LOG_LEVEL
Where the library logs, and how much.
.TP
.B GUIDLOOKUPS_LOCK_DIR
Folder of the machine\-wide lock file SQLITE_ACCESS_LOCK.lock.
.TP
.B GUIDLOOKUPS_CONTROL_SERVER
The control server's base URL when [Base] sControlServerURL is not set.
.TP
.B GUIDLOOKUPS_APPMGR_TABLE
The application manager's table (status, GUID, name, tab\-separated).
.SH FILES
.TP
.I <home>/JobResults/GUIDCacheDir/GUIDDB.DAT
The local GUID table.
.TP
.I <home>/JobResults/GUIDCacheDir/GUIDDB.JOB
The job marker: the id of the last job whose rebuild completed.
.TP
.I <home>/guidlookup.log
The log file, unless \-\-log\-file or GUIDLOOKUPS_LOG_FILE says otherwise.
"""


def run_help(tool, *args):
    out = subprocess.run([tool, *args, "--help"], check=True, capture_output=True, text=True)
    return out.stdout


def parse(text):
    """(description, usage, {section: [(term, description)]}, trailing text)."""
    lines = text.splitlines()
    description = lines[0].strip()
    usage = ""
    sections = {}
    trailer = []
    current = None
    for line in lines[1:]:
        if line.startswith("Usage: "):
            usage = line[len("Usage: "):]
            current = None
        elif line.endswith(":") and not line.startswith(" "):
            current = line[:-1]
            sections[current] = []
        elif line.startswith("  ") and current is not None:
            match = re.match(r"\s+(\S.*?)(?:\s{2,}(\S.*))?$", line)
            sections[current].append((match.group(1), match.group(2) or ""))
        elif line.strip() == "":
            current = None if current and sections[current] else current
        else:
            trailer.append(line)
            current = None
    return description, usage, sections, trailer


def esc(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def options_of(sections):
    """Every option spelling the help lists, e.g. --home, -o, --output."""
    found = []
    for section in ("Options",):
        for term, _ in sections.get(section, []):
            for spelling in term.split()[0].split(","):
                found.append(spelling)
    return found


def commands(tool):
    _, _, sections, _ = parse(run_help(tool))
    return [term for term, _ in sections.get("Subcommands", [])]


def man(tool):
    description, usage, sections, _ = parse(run_help(tool))
    out = ['.\\" Made by tools/make-docs.py from the output of guidlookup --help; do not edit.',
           '.TH GUIDLOOKUP 1 "" "guidlookups" "User Commands"',
           ".SH NAME", "guidlookup \\- " + esc(description[0].lower() + description[1:]),
           ".SH SYNOPSIS", ".B guidlookup", "[\\fIglobal options\\fR] \\fIcommand\\fR [\\fIoptions\\fR]",
           ".SH GLOBAL OPTIONS"]
    for term, text in sections.get("Options", []):
        out += [".TP", ".B " + esc(term), esc(text)]
    out.append(".SH COMMANDS")
    for command in commands(tool):
        text, usage, subsections, _ = parse(run_help(tool, command))
        out += [".SS " + esc(usage.replace("[OPTIONS]", "[options]")), esc(text)]
        for section in ("Positionals", "Options"):
            for term, help_text in subsections.get(section, []):
                if term.startswith("-h,--help"):
                    continue
                out += [".TP", ".B " + esc(term), esc(help_text)]
    return "\n".join(out) + "\n" + EXTRA_SECTIONS.lstrip("\n")


def takes_value(term):
    """True for "--home DIR", "--log-level N:INT in ..."; not for "--force Excludes: --job"."""
    words = term.split()
    return len(words) > 1 and not words[1].endswith(":") and re.match(r"[A-Z]+\b", words[1])


def spellings(terms):
    return [s for term in terms for s in term.split()[0].split(",")]


def completion(tool):
    _, _, sections, _ = parse(run_help(tool))
    global_options = [o for o in options_of(sections) if o != "-h"]
    valued = [term for term, _ in sections.get("Options", []) if takes_value(term)]
    cases = []
    for command in commands(tool):
        _, _, subsections, _ = parse(run_help(tool, command))
        # --help is offered once, with the global options.
        options = [o for o in options_of(subsections) if o not in ("-h", "--help")]
        cases.append("    %s) options=\"%s\" ;;" % (command, " ".join(options)))
        valued += [term for term, _ in subsections.get("Options", []) if takes_value(term)]
    folders = sorted(set(o for o in spellings(t for t in valued if " DIR" in t)))
    files = sorted(set(o for o in spellings(t for t in valued if " FILE" in t)))
    others = sorted(set(spellings(valued)) - set(folders) - set(files))
    global_valued = sorted(set(spellings(t for t, _ in sections.get("Options", [])
                                         if takes_value(t))))
    return """# bash completion for guidlookup. Made by tools/make-docs.py from the output of
# guidlookup --help; do not edit.
_guidlookup() {
  local cur prev word command="" options i
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    %s) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    %s) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    %s) COMPREPLY=(); return ;;
  esac
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $word in
      %s) ((i++)) ;;
      -*) ;;
      *) command=$word; break ;;
    esac
  done
  case $command in
%s
    "") options=""
        if [[ $cur != -* ]]; then COMPREPLY=($(compgen -W "%s" -- "$cur")); return; fi ;;
    *) options="" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options %s" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -F _guidlookup guidlookup
""" % ("|".join(folders), "|".join(files), "|".join(others), "|".join(global_valued),
       "\n".join(cases), " ".join(commands(tool)), " ".join(global_options))


def readme(printer):
    """README.md with the text between its table markers replaced by the printer's table."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    start = text.index(TABLE_START) + len(TABLE_START)
    end = text.index(TABLE_END, start)
    table = subprocess.run([printer], check=True, capture_output=True, text=True).stdout
    return text[:start] + table + text[end:]


def main():
    kinds = {"man": man, "completion": completion, "readme": readme}
    if len(sys.argv) != 3 or sys.argv[2] not in kinds:
        sys.exit("usage: make-docs.py GUIDLOOKUP man|completion, or PRINT-SETTINGS-TABLE readme")
    sys.stdout.write(kinds[sys.argv[2]](sys.argv[1]))


if __name__ == "__main__":
    main()
