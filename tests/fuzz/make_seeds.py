#!/usr/bin/env python3
"""Writes the cache-image seeds of the fuzz corpora (corpus/cache_file_fuzz and
corpus/region_image_fuzz): small region images in the cache file's format."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def header(role_cap, role_hw, role_count, user_cap, user_hw, user_count, auto=1, config=300):
    return struct.pack("<8i", role_cap, role_hw, role_count, user_cap, user_hw, user_count,
                       auto, config)


def text(value):
    raw = value.encode("ascii")
    return raw + b"\0" * (64 - len(raw))


def role(in_use, listed, refs, slot, name, ident):
    return struct.pack("<4i", in_use, listed, refs, slot) + text(name) + text(ident)


def user(in_use, slots, current, status, slot, last_access, domain, name):
    def role_set(values):
        return struct.pack("<i", len(values)) + struct.pack("<128i", *(values + [0] * (128 - len(values))))
    # roleCount + roleSlots, then currentRoleCount + currentRoleSlots.
    body = struct.pack("<i", in_use) + role_set(slots) + role_set(current)
    return body + struct.pack("<3i", status, slot, last_access) + text(domain) + text(name)


def images():
    roles = role(1, 1, 1, 0, "Operators", "S-1-5-21-1001") + role(1, 1, 1, 1, "Engineers", "S-1-5-21-1002")
    alice = user(1, [0, 1], [0, 1], 1, 0, 2000000000, "PLANT", "alice")
    yield "two_roles_one_user", header(2, 2, 2, 1, 1, 1) + roles + alice
    # A pending user whose current set lost a role, beside a freed role slot.
    bob = user(1, [0, 1], [0], 0, 1, 2000000000, "PLANT", "bob")
    freed = role(0, 0, 0, 2, "Retired", "S-1-5-21-1003")
    yield "pending_user_freed_role", header(3, 3, 2, 2, 2, 2, auto=0) + roles + freed + alice + bob
    yield "empty_tables", header(0, 0, 0, 0, 0, 0)
    # Damage: a mark beyond the capacity, and a file shorter than its header's tables.
    yield "mark_beyond_capacity", header(2, 5, 2, 1, 1, 1) + roles + alice
    yield "truncated", (header(2, 2, 2, 1, 1, 1) + roles + alice)[:900]


def main():
    for target in ("cache_file_fuzz", "region_image_fuzz"):
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in images():
            with open(os.path.join(folder, name + ".bin"), "wb") as out:
                out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
