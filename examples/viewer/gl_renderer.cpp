#include "gl_renderer.h"

#include <cstddef>

namespace orbviewer {

namespace {

const char* kVertexShader = R"(#version 330 core
layout(location = 0) in vec3 position;
layout(location = 1) in vec4 colour;
uniform mat4 mvp;
uniform float pointSize;
out vec4 vColour;
void main() {
    gl_Position = mvp * vec4(position, 1.0);
    gl_PointSize = pointSize;
    vColour = colour;
}
)";

const char* kFragmentShader = R"(#version 330 core
in vec4 vColour;
out vec4 fragColour;
void main() { fragColour = vColour; }
)";

GLuint compile(GLenum kind, const char* source, std::string& error) {
    GLuint s = glCreateShader(kind);
    glShaderSource(s, 1, &source, nullptr);
    glCompileShader(s);
    GLint ok = 0;
    glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char log[1024] = {0};
        glGetShaderInfoLog(s, sizeof log, nullptr, log);
        error = std::string("shader: ") + log;
        glDeleteShader(s);
        return 0;
    }
    return s;
}

}  // namespace

Texture::~Texture() {
    if (id_) glDeleteTextures(1, &id_);
}

void Texture::upload(int width, int height, int channels, const std::uint8_t* pixels, bool smooth) {
    if (!id_) glGenTextures(1, &id_);
    glBindTexture(GL_TEXTURE_2D, id_);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    const GLenum format = channels == 4 ? GL_RGBA : GL_RGB;
    if (width != width_ || height != height_) {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, format, GL_UNSIGNED_BYTE, pixels);
        width_ = width;
        height_ = height;
    } else {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format, GL_UNSIGNED_BYTE, pixels);
    }
    const GLint filter = smooth ? GL_LINEAR : GL_NEAREST;
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

SceneRenderer::~SceneRenderer() {
    for (Buffer* b : {&points_, &lines_}) {
        if (b->vbo) glDeleteBuffers(1, &b->vbo);
        if (b->vao) glDeleteVertexArrays(1, &b->vao);
    }
    if (fbo_) glDeleteFramebuffers(1, &fbo_);
    if (colour_) glDeleteTextures(1, &colour_);
    if (depth_) glDeleteRenderbuffers(1, &depth_);
    if (program_) glDeleteProgram(program_);
}

bool SceneRenderer::init(std::string& error) {
    GLuint vs = compile(GL_VERTEX_SHADER, kVertexShader, error);
    GLuint fs = vs ? compile(GL_FRAGMENT_SHADER, kFragmentShader, error) : 0;
    if (!vs || !fs) return false;
    program_ = glCreateProgram();
    glAttachShader(program_, vs);
    glAttachShader(program_, fs);
    glLinkProgram(program_);
    glDeleteShader(vs);
    glDeleteShader(fs);
    GLint ok = 0;
    glGetProgramiv(program_, GL_LINK_STATUS, &ok);
    if (!ok) {
        error = "shader program did not link";
        return false;
    }
    mvpLoc_ = glGetUniformLocation(program_, "mvp");
    sizeLoc_ = glGetUniformLocation(program_, "pointSize");
    makeBuffer(points_);
    makeBuffer(lines_);
    return true;
}

void SceneRenderer::makeBuffer(Buffer& b) {
    glGenVertexArrays(1, &b.vao);
    glGenBuffers(1, &b.vbo);
    glBindVertexArray(b.vao);
    glBindBuffer(GL_ARRAY_BUFFER, b.vbo);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof(PointVertex), reinterpret_cast<void*>(0));
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 4, GL_UNSIGNED_BYTE, GL_TRUE, sizeof(PointVertex),
                          reinterpret_cast<void*>(offsetof(PointVertex, r)));
    glBindVertexArray(0);
}

void SceneRenderer::fill(Buffer& b, const std::vector<PointVertex>& v) {
    glBindBuffer(GL_ARRAY_BUFFER, b.vbo);
    // A fresh store each time, so the driver need not wait for the last draw.
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(v.size() * sizeof(PointVertex)), v.data(), GL_STREAM_DRAW);
    b.count = v.size();
}

void SceneRenderer::setPoints(const std::vector<PointVertex>& points) {
    fill(points_, points);
    pointCount_ = points.size();
}

void SceneRenderer::setLines(const std::vector<PointVertex>& lines) { fill(lines_, lines); }

void SceneRenderer::resize(int width, int height) {
    if (width == width_ && height == height_ && fbo_) return;
    if (!fbo_) {
        glGenFramebuffers(1, &fbo_);
        glGenTextures(1, &colour_);
        glGenRenderbuffers(1, &depth_);
    }
    glBindTexture(GL_TEXTURE_2D, colour_);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    // Shown pixel for pixel: no filtering, so colours reach the screen unchanged.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glBindRenderbuffer(GL_RENDERBUFFER, depth_);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, width, height);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo_);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, colour_, 0);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth_);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    width_ = width;
    height_ = height;
}

void SceneRenderer::render(int width, int height, const Mat4& vp, float pointSize, const float background[3]) {
    if (width <= 0 || height <= 0 || !program_) return;
    resize(width, height);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo_);
    glViewport(0, 0, width, height);
    glClearColor(background[0], background[1], background[2], 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_PROGRAM_POINT_SIZE);
    glDisable(GL_BLEND);
    glUseProgram(program_);
    glUniformMatrix4fv(mvpLoc_, 1, GL_FALSE, vp.m);
    glUniform1f(sizeLoc_, pointSize);
    glBindVertexArray(lines_.vao);
    glDrawArrays(GL_LINES, 0, static_cast<GLsizei>(lines_.count));
    glBindVertexArray(points_.vao);
    glDrawArrays(GL_POINTS, 0, static_cast<GLsizei>(points_.count));
    glBindVertexArray(0);
    glUseProgram(0);
    glDisable(GL_DEPTH_TEST);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

float SceneRenderer::depthAt(int x, int y) {
    if (!fbo_ || x < 0 || y < 0 || x >= width_ || y >= height_) return 0.0f;
    float d = 0.0f;
    glBindFramebuffer(GL_FRAMEBUFFER, fbo_);
    glReadPixels(x, height_ - 1 - y, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &d);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return d;
}

void appendLine(std::vector<PointVertex>& out, const Vec3& a, const Vec3& b, Rgb8 c) {
    out.push_back({a.x, a.y, a.z, c.r, c.g, c.b, 255});
    out.push_back({b.x, b.y, b.z, c.r, c.g, c.b, 255});
}

void appendGrid(std::vector<PointVertex>& out, float u, int metres, float z) {
    const Rgb8 grey{70, 70, 78};
    const float half = 0.5f * static_cast<float>(metres) * u;
    for (int i = 0; i <= metres; ++i) {
        const float x = static_cast<float>(i) * u;
        appendLine(out, {x, -half, z}, {x, half, z}, grey);
        const float y = -half + static_cast<float>(i) * u;
        appendLine(out, {0.0f, y, z}, {static_cast<float>(metres) * u, y, z}, grey);
    }
}

void appendAxes(std::vector<PointVertex>& out, float u) {
    appendLine(out, {0, 0, 0}, {u, 0, 0}, {230, 60, 60});
    appendLine(out, {0, 0, 0}, {0, u, 0}, {60, 200, 60});
    appendLine(out, {0, 0, 0}, {0, 0, u}, {70, 110, 240});
}

void appendBox(std::vector<PointVertex>& out, const Vec3& lo, const Vec3& hi, Rgb8 c) {
    auto corner = [&](int i) { return Vec3{i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z}; };
    for (int i = 0; i < 8; ++i)
        for (int bit : {1, 2, 4})
            if (!(i & bit)) appendLine(out, corner(i), corner(i | bit), c);
}

}  // namespace orbviewer
