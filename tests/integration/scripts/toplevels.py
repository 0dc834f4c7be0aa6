# The window of a WM_NAME in a window tree, for the scripts that act on a program's top-level.


def find(window, name):
    try:
        if window.get_wm_name() == name:
            return window
        children = window.query_tree().children
    except Exception:  # a window that went meanwhile
        return None
    for child in children:
        found = find(child, name)
        if found:
            return found
    return None
