"""The fault lab's runner: sandboxed runs, fault injection, matching."""
