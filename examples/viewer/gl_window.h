// A GLFW window with an OpenGL 3.3 core context, made current.
#pragma once

#include <epoxy/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

namespace orbviewer {

// Null when no display or no OpenGL 3.3 can be had (glfwInit must have succeeded).
inline GLFWwindow* openGlWindow(int width, int height, const char* title, bool visible) {
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
    glfwWindowHint(GLFW_VISIBLE, visible ? GLFW_TRUE : GLFW_FALSE);
    GLFWwindow* w = glfwCreateWindow(width, height, title, nullptr, nullptr);
    if (w) glfwMakeContextCurrent(w);
    return w;
}

}  // namespace orbviewer
