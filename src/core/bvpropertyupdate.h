#pragma once

// The library's property setters: store the value and emit the change signal only when it
// really differs; return whether it did. Internal: not installed.
template <typename Object, typename T, typename Signal>
bool bvUpdateProperty(Object *object, T &member, const T &value, Signal changed)
{
    if (member == value)
        return false;
    member = value;
    emit(object->*changed)(value);
    return true;
}
