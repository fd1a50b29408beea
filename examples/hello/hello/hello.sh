#!/bin/sh
# The program the example archive installs.
echo "Hello from ${1:-kelpa}!"
