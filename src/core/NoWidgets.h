// Forced into every translation unit of the core library: the core must build
// and be tested without a display, so a Qt Widgets header there is an error.
#pragma once
#define QTWIDGETSGLOBAL_H
#define QTWIDGETSEXPORTS_H
#define Q_WIDGETS_EXPORT _Pragma("GCC error \"Qt Widgets is not allowed in the core library\"")
