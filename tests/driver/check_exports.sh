#!/usr/bin/env bash
# The module exports exactly its twelve C entry points and nothing else.
set -euo pipefail
module=$1
expected="CreateIPCapture CreateIPCaptureEx CreateIPCaptureEx2 CreateIPCaptureEx3 DeleteIPCapture DeleteIPCaptureEx DeleteIPCaptureEx2 DeleteIPCaptureEx3 InitCapabilityQuery StartCapabilityQuery TerminateCapabilityQuery UninitCapabilityQuery"
actual=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TtWwDdBbVvRr]$/ {print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | sort | tr '\n' ' ')
want=$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')
if [[ "$actual" != "$want" ]]; then
    echo "exported: $actual"
    echo "expected: $want"
    exit 1
fi
echo "exports ok"
