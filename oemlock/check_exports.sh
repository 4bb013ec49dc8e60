#!/bin/sh
# Checks that libwarden's dynamic symbol table defines exactly its interface.
# Usage: check_exports.sh path/to/libwarden.so
set -eu
expected='_ZN7orchard8hardware7oemlock16OemLockProvision17CollectAttributesEv
_ZN7orchard8hardware7oemlock16OemLockProvision4DumpERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE
_ZN7orchard8hardware7oemlock16OemLockProvision5ParseEPK14OemLockMessage
_ZN7orchard8hardware7oemlock16OemLockProvision8GenerateEv
_ZTIN7orchard8hardware7oemlock16OemLockProvisionE
_ZTSN7orchard8hardware7oemlock16OemLockProvisionE
_ZTVN7orchard8hardware7oemlock16OemLockProvisionE'
actual=$(nm -D --defined-only "$1" | awk '$2 != "A" { print $3 }' | grep -v '^__' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  echo "libwarden exports differ from its interface:"
  echo "--- expected"; echo "$expected"
  echo "--- actual"; echo "$actual"
  exit 1
fi
echo "libwarden exports exactly its interface"
