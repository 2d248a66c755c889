from __future__ import annotations

from typing import FrozenSet, Iterable, Optional


# A text is itself iterable, one character at a time: taken as a set, "test-key" would
# accept "t" and refuse "test-key". Bytes would become a set of numbers that no key matches.
def accepted_key_set(accepted_keys: Optional[Iterable[str]]) -> Optional[FrozenSet[str]]:
    if accepted_keys is None:
        return None
    if isinstance(accepted_keys, str):
        return frozenset((accepted_keys,))
    if isinstance(accepted_keys, (bytes, bytearray)):
        raise TypeError(f"accepted_keys takes keys as text, not {accepted_keys!r}")
    keys = frozenset(accepted_keys)
    for key in keys:
        if not isinstance(key, str):
            raise TypeError(f"accepted_keys takes keys as text, not {key!r}")
    return keys
