# installed_docs.sh: sourced by the install and package checks (which set $source, the source tree).
# Every page and program the installed README, language guide and `help` name is installed, and so is
# every example program of the source tree.
check_named() {  # check_named DOCDIR ZOR_HOST
    local named f
    named=$({ grep -ohE '(docs|examples)/[A-Za-z0-9_.-]+\.(md|zor|c)' "$1/README.md" "$1/docs/language.md" 2>/dev/null
              printf 'help\n' | "$2" - | grep -oE '(docs|examples)/[A-Za-z0-9_.-]+\.(md|zor|c)'; } | sort -u || true)
    for f in $named "$source"/examples/*.zor "$source"/examples/*.c; do
        f=${f#"$source"/}
        test -f "$1/$f" || { echo "$0: $f is named or shipped but not installed" >&2; exit 1; }
    done
}
