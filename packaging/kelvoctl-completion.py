#!/usr/bin/env python3
"""Writes kelvoctl's bash completion from the program's own --help texts.

    kelvoctl-completion.py KELVOCTL OUTPUT

The commands come from the "Subcommands:" list of `kelvoctl --help`, each
command's options from `kelvoctl COMMAND --help`; an option shown with a
type after it (--csv TEXT) takes a value, one whose help names a file
completes file names there. Made at build time, so the completion lists
exactly what the program accepts."""

import re
import subprocess
import sys


def help_text(program, *args):
    out = subprocess.run([program, *args, "--help"], check=True, capture_output=True, text=True).stdout
    if "Usage:" not in out:
        sys.exit(f"kelvoctl-completion: {program} {' '.join(args)} --help printed no usage")
    return out


# "  -h,--help   Print ..." / "  --speed INT:INT in [1 - 4000000] Excludes: --speeds" (help on the next line)
OPTION = re.compile(r"^\s{2,}((?:-\w,)?--[\w-]+(?:,--[\w-]+)*)(\s+[A-Z][A-Z:]*\b)?(.*)$")


def options(text):
    """(names, value options, file options) of one help text."""
    names, values, files = [], [], []
    lines = text.splitlines()
    section = None
    for i, line in enumerate(lines):
        if re.match(r"^\s*(Options|Positionals|Subcommands):\s*$", line):
            section = line.strip()
            continue
        m = OPTION.match(line)
        if section != "Options:" or not m:
            continue
        rest = m.group(3)
        if not rest.strip() and i + 1 < len(lines):
            rest = lines[i + 1]  # the help text went to the next line
        for name in m.group(1).split(","):
            names.append(name)
            if m.group(2):
                values.append(name)
                if "file" in rest.lower():
                    files.append(name)
    return names, values, files


def commands(text):
    found, inside = [], False
    for line in text.splitlines():
        if line.strip() == "Subcommands:":
            inside = True
            continue
        if inside:
            m = re.match(r"^\s{2}(\w[\w-]*)\s", line)
            if not m:
                break
            found.append(m.group(1))
    if not found:
        sys.exit("kelvoctl-completion: kelvoctl --help lists no commands")
    return found


def main():
    program, output = sys.argv[1], sys.argv[2]
    top = help_text(program)
    global_names, global_values, global_files = options(top)
    cmds = commands(top)
    cases, values, files = [], set(global_values), set(global_files)
    for cmd in cmds:
        names, v, f = options(help_text(program, cmd))
        values.update(v)
        files.update(f)
        cases.append(f"    {cmd}) opts+=\" {' '.join(n for n in names if n not in global_names)}\" ;;")
    script = f"""# bash completion for kelvoctl, made from its own --help when it was built.
_kelvoctl()
{{
    local cur prev words cword
    _init_completion || return

    local cmd="" i
    for ((i = 1; i < cword; i++)); do
        case ${{words[i]}} in
        -*) ;;
        *) cmd=${{words[i]}}; break ;;
        esac
    done

    case $prev in
    {'|'.join(sorted(files))})
        _filedir
        return ;;
    {'|'.join(sorted(values - files))})
        return ;;
    esac

    # The program's own options count after the command too.
    local opts="{' '.join(global_names)}"
    if [[ -z $cmd ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "{' '.join(cmds)}" -- "$cur"))
        fi
        return
    fi
    case $cmd in
{chr(10).join(cases)}
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    # A port (the USB and ACM serial nodes present) or a file.
    COMPREPLY=($(compgen -W "$(compgen -G '/dev/ttyUSB*'; compgen -G '/dev/ttyACM*')" -- "$cur"))
    _filedir
}} &&
    complete -F _kelvoctl kelvoctl
"""
    with open(output, "w", encoding="utf-8") as f:
        f.write(script)


if __name__ == "__main__":
    main()
