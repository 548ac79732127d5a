#!/bin/sh
# One linter over every file of its kind in the source tree, the tracked files where it is a
# git checkout. Fails, never skips, when the linter itself is missing.
#   lint.sh clang_format|shellcheck|pyflakes|variables|layout|workflows SOURCE_DIR
set -eu

# The only exceptions to the linters, each with its reason.
#   tools/install-deps.sh  SC2086: package lists are split into words on purpose.
#   every script           SC1091: stage.sh is sourced through a path found at run time; it is
#                          checked on its own.
shellcheck_exceptions() {
    case $1 in
    tools/install-deps.sh) echo SC1091,SC2086 ;;
    *) echo SC1091 ;;
    esac
}
# Longest Python line; C++ lines are held to the same by clang-format.
python_columns=100

check=$1
cd "$2"
files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard
    else
        find . -path ./build -prune -o -path ./dist -prune -o -type f -print | sed 's|^\./||'
    fi
}
need() {
    command -v "$1" >/dev/null ||
        { echo "$1 is missing: run 'sh tools/install-deps.sh unit' as root" >&2; exit 1; }
}
# Shell scripts by name or by their first line.
shell_scripts() {
    files | while IFS= read -r file; do
        case $file in
        *.sh) echo "$file" ;;
        *.*) ;;
        *) [ -f "$file" ] && head -n 1 "$file" | grep -q '^#!/bin/sh' && echo "$file" ;;
        esac
    done
}

status=0
case $check in
clang_format)
    need clang-format
    files | grep -E '\.(cpp|h)$' | xargs clang-format --dry-run -Werror || status=1
    ;;
shellcheck)
    need shellcheck
    for script in $(shell_scripts); do
        shellcheck -s sh -e "$(shellcheck_exceptions "$script")" "$script" || status=1
    done
    ;;
pyflakes)
    need pyflakes3
    files | grep '\.py$' | xargs pyflakes3 || status=1
    files | grep '\.py$' | xargs awk -v most="$python_columns" 'length > most {
        printf "%s:%d: %d columns, more than %d\n", FILENAME, FNR, length, most; bad = 1 }
        END { exit bad }' || status=1
    ;;
variables)
    # Every VUQ_* name that a script, a build file or a program reads has its row.
    for name in $(files | grep -v '^docs/' | xargs grep -h -o -E 'VUQ_[A-Z0-9_]+' | sort -u); do
        grep -q -F "\`$name" docs/DEVELOPING.md ||
            { echo "$name is not in the table of docs/DEVELOPING.md" >&2; status=1; }
    done
    ;;
layout)
    # The checks use the lab and the tools; nothing else reaches into the checks.
    if files | grep -v '^tests/' | xargs grep -n -E '(^|[^a-z_])tests/[A-Za-z0-9_.-]' /dev/null; then
        echo "files outside tests/ name a path inside it (above)" >&2
        status=1
    fi
    ;;
workflows)
    # GitHub runs them, never this machine: the schema, the jobs they need and the expressions
    # are all that can be checked here.
    need action-validator
    workflows=$(files | grep -E '^\.github/workflows/[^/]+\.ya?ml$') ||
        { echo "no workflow in .github/workflows" >&2; exit 1; }
    for workflow in $workflows; do
        action-validator "$workflow" || { echo "$workflow: not a valid workflow (above)" >&2; status=1; }
    done
    ;;
*)
    echo "usage: $0 clang_format|shellcheck|pyflakes|variables|layout|workflows SOURCE_DIR" >&2
    exit 2
    ;;
esac
[ "$status" = 0 ] && echo "$check: every file passes"
exit "$status"
