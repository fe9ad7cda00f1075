#!/bin/sh
# Runs `orvcache ARGS` (help2man asks for --help and --version) and names the parts of
# the help the way help2man recognises them: Usage: for the synopsis, headings for the
# commands and the options. After the help, each command's own options, as its help
# lists them, under a heading of their own: the man page explains every option that the
# commands' declarations hold.
"$@" | sed -e 's/^usage:/Usage:/' -e 's/^       orvcache/  or:  orvcache/' \
  -e 's/^commands:/Commands:/' -e 's/^options for every command:/Options:/'
[ "$2" = "--help" ] || exit 0
"$1" --help | sed -n 's/^  \([a-z][a-z]*\( [a-z][a-z]*\)\{0,1\}\)\( .*\)\{0,1\}$/\1/p' |
  while read -r command; do
    # shellcheck disable=SC2086  # "file inspect" is two words
    options=$("$1" help $command | sed -n '/^  -/,/^$/p')
    [ -n "$options" ] || continue
    printf '\nOptions of orvcache %s:\n%s\n' "$command" "$options"
  done
