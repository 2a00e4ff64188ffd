#!/bin/sh
# Runs a test in a private mount namespace, so that the tmpfs volumes it
# mounts are seen by it alone and vanish with it. As root a plain mount
# namespace is enough; elsewhere a user namespace maps us to root. Where
# neither works the test does not run: it exits 77, which CTest reports as
# skipped (SKIP_RETURN_CODE), never as passed.
if [ "${ZUV_TEST_MOUNT_NAMESPACE:-}" = 1 ]; then
    exec "$@"
fi
if unshare --mount --propagation private true 2>/dev/null; then
    exec env ZUV_TEST_MOUNT_NAMESPACE=1 unshare --mount --propagation private "$@"
fi
if unshare --user --map-root-user --mount --propagation private true 2>/dev/null; then
    exec env ZUV_TEST_MOUNT_NAMESPACE=1 unshare --user --map-root-user --mount --propagation private "$@"
fi
echo "skipped: no private mount namespace can be made here (needs root or user namespaces)" >&2
exit 77
