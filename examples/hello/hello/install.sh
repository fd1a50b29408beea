#!/bin/sh
# Run by the archive after the payload was unpacked into the current
# directory, with the installation prefix as $1. The archive's feature list
# arrives as environment variables.
set -e
prefix=${1:?usage: install.sh PREFIX}
mkdir -p "$prefix/bin" "$prefix/share/hello"
cp hello/hello.sh "$prefix/bin/hello"
cp hello/README "$prefix/share/hello/README"
chmod 755 "$prefix/bin/hello"
rm -rf hello
echo "hello installed into $prefix (vendor: ${KX_VENDOR:-none}, channel: ${HELLO_CHANNEL:-none})"
