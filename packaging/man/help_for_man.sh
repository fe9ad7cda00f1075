#!/bin/sh
# Runs `orvcache ARGS` (help2man asks for --help and --version) and names the parts of
# the help the way help2man recognises them: Usage: for the synopsis, headings for the
# commands and the options.
"$@" | sed -e 's/^usage:/Usage:/' -e 's/^       orvcache/  or:  orvcache/' \
  -e 's/^commands:/Commands:/' -e 's/^options for every command:/Options:/'
