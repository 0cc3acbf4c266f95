#!/usr/bin/env bash
# Tools the test stages need that pip does not bring: GoogleTest headers from Debian.
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
cd "$(dirname "$0")/../.."
if [ ! -f /usr/include/gtest/gtest.h ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q libgtest-dev
fi
# The test extra brings everything the suites import (scikit-learn, pandas, Dask included).
python3 -m pip install -q ".[test]" -C cmake.define.MIREL_WERROR=ON
