// Loading a GL library for the in-proxy GL path and resolving its entry points, in one fixed
// order, into the instance's function table.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/logging.h"
#include "xclient/xtarget.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xext/plugin.h"

namespace {

// What the absence of an entry point means; any other tier value is a GL version code
// (major * 64 + minor) that the entry belongs to.
constexpr uint16_t kLoadRequired = 0;   // core GL 1.0: its absence fails the load
constexpr uint16_t kLoadExtension = 1;  // only noted
constexpr uint16_t kLoadUnchecked = 2;  // a name no library exports: never examined
constexpr uint32_t kGl10 = 64;

struct GlxLoadEntry {
  const char *name;
  uint16_t tier;
  const char *extension;  // the extension of an extension entry, else NULL
  size_t entry;           // offset of the function's pointer in GlFunctionTable
};

#define REQUIRED(name) {#name, kLoadRequired, nullptr, offsetof(GlFunctionTable, name)}
#define GLVERSION(code, name) {#name, code, nullptr, offsetof(GlFunctionTable, name)}
#define EXTENSION(extension, name) {#name, kLoadExtension, extension, offsetof(GlFunctionTable, name)}
#define UNCHECKED(name) {#name, kLoadUnchecked, nullptr, offsetof(GlFunctionTable, name)}

// The look-ups in order. A few names appear twice; they fill the same entry, and each look-up
// applies its own tier. scripts/gltable reads this table to write GlFunctionTable's members.
constexpr GlxLoadEntry kGlxLoadList[] = {
    REQUIRED(glCallList), REQUIRED(glCallLists), REQUIRED(glListBase), REQUIRED(glBegin), REQUIRED(glBitmap),
    REQUIRED(glColor3bv), REQUIRED(glColor3dv), REQUIRED(glColor3f), REQUIRED(glColor3iv), REQUIRED(glColor3sv),
    REQUIRED(glColor3ubv), REQUIRED(glColor3uiv), REQUIRED(glColor3usv), REQUIRED(glColor4bv), REQUIRED(glColor4dv),
    REQUIRED(glColor4fv), REQUIRED(glColor4iv), REQUIRED(glColor4sv), REQUIRED(glColor4ubv), REQUIRED(glColor4uiv),
    REQUIRED(glColor4usv), REQUIRED(glEdgeFlagv), REQUIRED(glEnd), REQUIRED(glIndexdv), REQUIRED(glIndexfv),
    REQUIRED(glIndexiv), REQUIRED(glIndexsv), REQUIRED(glNormal3bv), REQUIRED(glNormal3dv), REQUIRED(glNormal3fv),
    REQUIRED(glNormal3iv), REQUIRED(glNormal3sv), REQUIRED(glRasterPos2dv), REQUIRED(glRasterPos2fv),
    REQUIRED(glRasterPos2iv), REQUIRED(glRasterPos2sv), REQUIRED(glRasterPos3dv), REQUIRED(glRasterPos3fv),
    REQUIRED(glRasterPos3iv), REQUIRED(glRasterPos3sv), REQUIRED(glRasterPos4dv), REQUIRED(glRasterPos4fv),
    REQUIRED(glRasterPos4iv), REQUIRED(glRasterPos4sv), REQUIRED(glRectdv), REQUIRED(glRectfv), REQUIRED(glRecti),
    REQUIRED(glRectsv), REQUIRED(glTexCoord1dv), REQUIRED(glTexCoord1fv), REQUIRED(glTexCoord1iv),
    REQUIRED(glTexCoord1sv), REQUIRED(glTexCoord2d), REQUIRED(glTexCoord2fv), REQUIRED(glTexCoord2iv),
    REQUIRED(glTexCoord2sv), REQUIRED(glTexCoord3dv), REQUIRED(glTexCoord3fv), REQUIRED(glTexCoord3iv),
    REQUIRED(glTexCoord3sv), REQUIRED(glTexCoord4dv), REQUIRED(glTexCoord4fv), REQUIRED(glTexCoord4iv),
    REQUIRED(glTexCoord4sv), REQUIRED(glVertex2d), REQUIRED(glVertex2f), REQUIRED(glVertex2i), REQUIRED(glVertex2s),
    REQUIRED(glVertex3d), REQUIRED(glVertex3f), REQUIRED(glVertex3iv), REQUIRED(glVertex3sv), REQUIRED(glVertex4dv),
    REQUIRED(glVertex4fv), REQUIRED(glVertex4iv), REQUIRED(glVertex4sv), REQUIRED(glClipPlane),
    REQUIRED(glColorMaterial), REQUIRED(glCullFace), REQUIRED(glFogf), REQUIRED(glFogfv), REQUIRED(glFogi),
    REQUIRED(glFogiv), REQUIRED(glFrontFace), REQUIRED(glHint), REQUIRED(glLightf), REQUIRED(glLightfv),
    REQUIRED(glLighti), REQUIRED(glLightiv), REQUIRED(glLightModelf), REQUIRED(glLightModelfv),
    REQUIRED(glLightModeli), REQUIRED(glLightModeliv), REQUIRED(glLineStipple), REQUIRED(glLineWidth),
    REQUIRED(glMaterialf), REQUIRED(glMaterialfv), REQUIRED(glMateriali), REQUIRED(glMaterialiv),
    REQUIRED(glPointSize), REQUIRED(glPolygonMode), REQUIRED(glPolygonStipple), REQUIRED(glScissor),
    REQUIRED(glShadeModel), REQUIRED(glTexParameterf), REQUIRED(glTexParameterfv), REQUIRED(glTexParameteri),
    REQUIRED(glTexParameteriv), REQUIRED(glTexImage1D), REQUIRED(glTexImage2D), REQUIRED(glTexEnvf),
    REQUIRED(glTexEnvfv), REQUIRED(glTexEnvi), REQUIRED(glTexEnviv), REQUIRED(glTexGend), REQUIRED(glTexGendv),
    REQUIRED(glTexGenf), REQUIRED(glTexGenfv), REQUIRED(glTexGeni), REQUIRED(glTexGeniv), REQUIRED(glInitNames),
    REQUIRED(glLoadName), REQUIRED(glPassThrough), REQUIRED(glPopName), REQUIRED(glPushName), REQUIRED(glDrawBuffer),
    REQUIRED(glClear), REQUIRED(glClearAccum), REQUIRED(glClearIndex), REQUIRED(glClearColor),
    REQUIRED(glClearStencil), REQUIRED(glClearDepth), REQUIRED(glStencilMask), REQUIRED(glColorMask),
    REQUIRED(glDepthMask), REQUIRED(glIndexMask), REQUIRED(glAccum), REQUIRED(glDisable), REQUIRED(glEnable),
    REQUIRED(glPopAttrib), REQUIRED(glPushAttrib), REQUIRED(glMap1d), REQUIRED(glMap1f), REQUIRED(glMap2d),
    REQUIRED(glMap2f), REQUIRED(glMapGrid1d), REQUIRED(glMapGrid1f), REQUIRED(glMapGrid2d), REQUIRED(glMapGrid2f),
    REQUIRED(glEvalCoord1d), REQUIRED(glEvalCoord1f), REQUIRED(glEvalCoord2d), REQUIRED(glEvalCoord2f),
    REQUIRED(glEvalMesh1), REQUIRED(glEvalPoint1), REQUIRED(glEvalMesh2), REQUIRED(glEvalPoint2),
    REQUIRED(glAlphaFunc), REQUIRED(glBlendFunc), REQUIRED(glLogicOp), REQUIRED(glStencilFunc), REQUIRED(glStencilOp),
    REQUIRED(glDepthFunc), REQUIRED(glPixelZoom), REQUIRED(glPixelTransferf), REQUIRED(glPixelTransferi),
    REQUIRED(glPixelMapfv), REQUIRED(glPixelMapuiv), REQUIRED(glPixelMapusv), REQUIRED(glReadBuffer),
    REQUIRED(glCopyPixels),
    GLVERSION(65, glDrawPixels),
    REQUIRED(glDepthRange), REQUIRED(glFrustum), REQUIRED(glLoadIdentity), REQUIRED(glLoadMatrixf),
    REQUIRED(glLoadMatrixd), REQUIRED(glMatrixMode), REQUIRED(glMultMatrixf), REQUIRED(glMultMatrixd),
    REQUIRED(glOrtho), REQUIRED(glPopMatrix), REQUIRED(glPushMatrix), REQUIRED(glRotated), REQUIRED(glRotatef),
    REQUIRED(glScaled), REQUIRED(glScalef), REQUIRED(glTranslated), REQUIRED(glTranslatef), REQUIRED(glViewport),
    GLVERSION(65, glDrawArrays), GLVERSION(65, glPolygonOffset), GLVERSION(65, glCopyTexImage1D),
    GLVERSION(65, glCopyTexImage2D), GLVERSION(65, glCopyTexSubImage1D), GLVERSION(65, glCopyTexSubImage2D),
    GLVERSION(65, glTexSubImage1D), GLVERSION(65, glTexSubImage2D), GLVERSION(65, glBindTexture),
    GLVERSION(65, glPrioritizeTextures), GLVERSION(65, glIndexubv),
    GLVERSION(66, glBlendColor), GLVERSION(66, glBlendEquation),
    EXTENSION("GL_ARB_imaging", glColorTable),
    GLVERSION(66, glColorTableParameterfv), GLVERSION(66, glColorTableParameteriv), GLVERSION(66, glCopyColorTable),
    GLVERSION(66, glColorSubTable), GLVERSION(66, glCopyColorSubTable), GLVERSION(66, glConvolutionFilter1D),
    GLVERSION(66, glConvolutionFilter2D), GLVERSION(66, glConvolutionParameterf),
    GLVERSION(66, glConvolutionParameterfv), GLVERSION(66, glConvolutionParameteri),
    GLVERSION(66, glConvolutionParameteriv), GLVERSION(66, glCopyConvolutionFilter1D),
    GLVERSION(66, glCopyConvolutionFilter2D),
    EXTENSION("GL_ARB_imaging", glSeparableFilter2D), EXTENSION("GL_ARB_imaging", glHistogram),
    EXTENSION("GL_ARB_imaging", glMinmax), EXTENSION("GL_ARB_imaging", glResetHistogram),
    GLVERSION(66, glResetMinmax), GLVERSION(66, glTexImage3D), GLVERSION(66, glTexSubImage3D),
    GLVERSION(66, glCopyTexSubImage3D),
    GLVERSION(67, glActiveTexture), GLVERSION(67, glMultiTexCoord1dv), GLVERSION(67, glMultiTexCoord1fv),
    GLVERSION(67, glMultiTexCoord1iv), GLVERSION(67, glMultiTexCoord1sv), GLVERSION(67, glMultiTexCoord2dv),
    GLVERSION(67, glMultiTexCoord2fv), GLVERSION(67, glMultiTexCoord2iv), GLVERSION(67, glMultiTexCoord2sv),
    GLVERSION(67, glMultiTexCoord3dv), GLVERSION(67, glMultiTexCoord3fv), GLVERSION(67, glMultiTexCoord3iv),
    GLVERSION(67, glMultiTexCoord3sv), GLVERSION(67, glMultiTexCoord4dv), GLVERSION(67, glMultiTexCoord4fv),
    GLVERSION(67, glMultiTexCoord4iv), GLVERSION(67, glMultiTexCoord4sv),
    EXTENSION("GL_EXT_depth_bounds_test", glDepthBoundsEXT),
    EXTENSION("GL_ARB_texture_compression", glCompressedTexImage1DARB),
    EXTENSION("GL_ARB_texture_compression", glCompressedTexImage2DARB),
    EXTENSION("GL_ARB_texture_compression", glCompressedTexImage3DARB),
    EXTENSION("GL_ARB_texture_compression", glCompressedTexSubImage1DARB),
    EXTENSION("GL_ARB_texture_compression", glCompressedTexSubImage2DARB),
    EXTENSION("GL_ARB_texture_compression", glCompressedTexSubImage3DARB),
    GLVERSION(67, glSampleCoverage),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib1dvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib1fvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib1svARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib2dvARB), EXTENSION("GL_ARB_vertex_program", glVertexAttrib2fARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib2svARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib3dvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib3fvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib3svARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4dvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4fvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4svARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4NubvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4bvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4ivARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4ubvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4usvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4uivARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4NbvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4NsvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4NivARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4NusvARB),
    EXTENSION("GL_ARB_vertex_program", glVertexAttrib4NuivARB),
    EXTENSION("GL_ARB_vertex_program", glProgramStringARB),
    EXTENSION("GL_ARB_vertex_program", glProgramLocalParameter4dvARB),
    EXTENSION("GL_ARB_vertex_program", glProgramLocalParameter4fvARB),
    GLVERSION(69, glBeginQuery), GLVERSION(69, glEndQuery),
    GLVERSION(128, glDrawBuffers),
    GLVERSION(68, glPointParameterf), GLVERSION(68, glPointParameterfv),
    EXTENSION("GL_EXT_secondary_color", glSecondaryColor3bvEXT),
    EXTENSION("GL_EXT_secondary_color", glSecondaryColor3dvEXT),
    EXTENSION("GL_EXT_secondary_color", glSecondaryColor3fvEXT),
    EXTENSION("GL_EXT_secondary_color", glSecondaryColor3ivEXT),
    EXTENSION("GL_EXT_secondary_color", glSecondaryColor3svEXT),
    EXTENSION("GL_EXT_secondary_color", glSecondaryColor3ubvEXT),
    EXTENSION("GL_EXT_secondary_color", glSecondaryColor3uivEXT),
    EXTENSION("GL_EXT_secondary_color", glSecondaryColor3usvEXT),
    EXTENSION("GL_EXT_fog_coord", glFogCoordfvEXT), EXTENSION("GL_EXT_fog_coord", glFogCoorddvEXT),
    EXTENSION("GL_EXT_blend_func_separate", glBlendFuncSeparateEXT),
    EXTENSION("GL_ARB_window_pos", glWindowPos3fv),
    EXTENSION("GL_ARB_vertex_program", glBindProgramARB),
    EXTENSION("GL_NV_vertex_program", glExecuteProgramNV), EXTENSION("GL_NV_vertex_program", glLoadProgramNV),
    EXTENSION("GL_NV_vertex_program", glProgramParameter4dvNV),
    EXTENSION("GL_NV_vertex_program", glProgramParameter4fvNV),
    EXTENSION("GL_NV_vertex_program", glProgramParameters4dvNV),
    EXTENSION("GL_NV_vertex_program", glProgramParameters4fvNV),
    EXTENSION("GL_NV_vertex_program", glRequestResidentProgramsNV),
    EXTENSION("GL_NV_vertex_program", glTrackMatrixNV), EXTENSION("GL_NV_vertex_program", glVertexAttrib1svNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttrib2svNV), EXTENSION("GL_NV_vertex_program", glVertexAttrib3svNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttrib4svNV), EXTENSION("GL_NV_vertex_program", glVertexAttrib1fvNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttrib2fvNV), EXTENSION("GL_NV_vertex_program", glVertexAttrib3fvNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttrib4fvNV), EXTENSION("GL_NV_vertex_program", glVertexAttrib1dvNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttrib2dvNV), EXTENSION("GL_NV_vertex_program", glVertexAttrib3dvNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttrib4dvNV), EXTENSION("GL_NV_vertex_program", glVertexAttrib4ubvNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttribs1svNV), EXTENSION("GL_NV_vertex_program", glVertexAttribs2svNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttribs3svNV), EXTENSION("GL_NV_vertex_program", glVertexAttribs4svNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttribs1fvNV), EXTENSION("GL_NV_vertex_program", glVertexAttribs2fvNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttribs3fvNV), EXTENSION("GL_NV_vertex_program", glVertexAttribs4fvNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttribs1dvNV), EXTENSION("GL_NV_vertex_program", glVertexAttribs2dvNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttribs3dvNV), EXTENSION("GL_NV_vertex_program", glVertexAttribs4dvNV),
    EXTENSION("GL_NV_vertex_program", glVertexAttribs4ubvNV),
    GLVERSION(68, glPointParameteri), GLVERSION(68, glPointParameteriv),
    EXTENSION("GL_EXT_stencil_two_side", glActiveStencilFaceEXT),
    EXTENSION("GL_NV_fragment_program", glProgramNamedParameter4fvNV),
    EXTENSION("GL_NV_fragment_program", glProgramNamedParameter4dvNV),
    EXTENSION("GL_EXT_blend_equation_separate", glBlendEquationSeparateEXT),
    EXTENSION("GL_ARB_framebuffer_object", glBindRenderbuffer),
    EXTENSION("GL_ARB_framebuffer_object", glBindRenderbuffer),
    EXTENSION("GL_ARB_framebuffer_object", glDeleteRenderbuffers),
    EXTENSION("GL_ARB_framebuffer_object", glRenderbufferStorage),
    EXTENSION("GL_ARB_framebuffer_object", glRenderbufferStorageMultisample),
    EXTENSION("GL_ARB_framebuffer_object", glBindFramebuffer),
    EXTENSION("GL_ARB_framebuffer_object", glBindFramebuffer),
    EXTENSION("GL_ARB_framebuffer_object", glDeleteFramebuffers),
    EXTENSION("GL_ARB_framebuffer_object", glFramebufferTexture1D),
    EXTENSION("GL_ARB_framebuffer_object", glFramebufferTexture2D),
    EXTENSION("GL_ARB_framebuffer_object", glFramebufferTexture3D),
    EXTENSION("GL_ARB_framebuffer_object", glFramebufferRenderbuffer),
    EXTENSION("GL_ARB_framebuffer_object", glBlitFramebuffer),
    EXTENSION("GL_ARB_framebuffer_object", glGenerateMipmap),
    EXTENSION("GL_ARB_vertex_buffer_object", glBindBuffer),
    UNCHECKED(glDummyFunc1), UNCHECKED(glDummyFunc2), UNCHECKED(glDummyFunc3),
    EXTENSION("GL_ARB_vertex_buffer_object", glArrayElement),
    EXTENSION("GL_ARB_vertex_buffer_object", glDrawElements),
    EXTENSION("GL_ARB_vertex_buffer_object", glPushClientAttrib),
    EXTENSION("GL_ARB_vertex_buffer_object", glPopClientAttrib),
    EXTENSION("GL_ARB_vertex_buffer_object", glBufferData), EXTENSION("GL_ARB_vertex_buffer_object", glBufferSubData),
    GLVERSION(65, glDrawArrays),
    UNCHECKED(glDummyFunc5), UNCHECKED(glDummyFunc6), UNCHECKED(glDummyFunc7),
    EXTENSION("GL_ARB_shader_objects", glDeleteObjectARB), EXTENSION("GL_ARB_shader_objects", glDetachObjectARB),
    EXTENSION("GL_ARB_shader_objects", glCompileShader), EXTENSION("GL_ARB_shader_objects", glAttachShader),
    EXTENSION("GL_ARB_shader_objects", glLinkProgram), EXTENSION("GL_ARB_shader_objects", glUseProgram),
    EXTENSION("GL_ARB_shader_objects", glValidateProgram), EXTENSION("GL_ARB_shader_objects", glUniform1f),
    EXTENSION("GL_ARB_shader_objects", glUniform2f), EXTENSION("GL_ARB_shader_objects", glUniform3f),
    EXTENSION("GL_ARB_shader_objects", glUniform4f), EXTENSION("GL_ARB_shader_objects", glUniform1i),
    EXTENSION("GL_ARB_shader_objects", glUniform2i), EXTENSION("GL_ARB_shader_objects", glUniform3i),
    EXTENSION("GL_ARB_shader_objects", glUniform4i), EXTENSION("GL_ARB_shader_objects", glShaderSource),
    EXTENSION("GL_ARB_shader_objects", glUniform1fv), EXTENSION("GL_ARB_shader_objects", glUniform2fv),
    EXTENSION("GL_ARB_shader_objects", glUniform3fv), EXTENSION("GL_ARB_shader_objects", glUniform4fv),
    EXTENSION("GL_ARB_shader_objects", glUniform1iv), EXTENSION("GL_ARB_shader_objects", glUniform2iv),
    EXTENSION("GL_ARB_shader_objects", glUniform3iv), EXTENSION("GL_ARB_shader_objects", glUniform4iv),
    EXTENSION("GL_ARB_shader_objects", glUniformMatrix2fv), EXTENSION("GL_ARB_shader_objects", glUniformMatrix3fv),
    EXTENSION("GL_ARB_shader_objects", glUniformMatrix4fv),
    EXTENSION("GL_ARB_vertex_shader", glBindAttribLocation),
    EXTENSION("GL_ARB_provoking_vertex", glProvokingVertex),
    EXTENSION("GL_EXT_gpu_program_parameters", glProgramEnvParameters4fvEXT),
    EXTENSION("GL_EXT_gpu_program_parameters", glProgramLocalParameters4fvEXT),
    EXTENSION("GL_ARB_geometry_shader4", glProgramParameteriARB),
    EXTENSION("GL_ARB_geometry_shader4", glFramebufferTextureARB),
    EXTENSION("GL_ARB_geometry_shader4", glFramebufferTextureLayerARB),
    EXTENSION("GL_ARB_geometry_shader4", glFramebufferTextureFaceARB),
    EXTENSION("GL_ARB_shader_objects", glCreateShader), EXTENSION("GL_ARB_shader_objects", glShaderSource),
    EXTENSION("GL_ARB_shader_objects", glCompileShader),
    GLVERSION(128, glGetShaderiv),
    EXTENSION("GL_ARB_shader_objects", glLinkProgram),
    EXTENSION("GL_ARB_vertex_shader", glBindAttribLocationARB),
    EXTENSION("GL_ARB_shader_objects", glCreateProgram),
    GLVERSION(128, glGetProgramiv),
    EXTENSION("GL_ARB_shader_objects", glAttachObjectARB), EXTENSION("GL_ARB_shader_objects", glAttachShader),
    EXTENSION("GL_ARB_shader_objects", glUseProgram),
    GLVERSION(128, glGetActiveUniform), GLVERSION(128, glGetUniformLocation), GLVERSION(128, glGetActiveAttrib),
    GLVERSION(128, glGetAttribLocation), GLVERSION(128, glGetShaderInfoLog), GLVERSION(128, glGetProgramInfoLog),
    GLVERSION(128, glValidateProgramARB), GLVERSION(128, glUniform1fvARB), GLVERSION(128, glUniform2fvARB),
    GLVERSION(128, glUniform3fvARB), GLVERSION(128, glUniform4fvARB), GLVERSION(128, glUniform1ivARB),
    GLVERSION(128, glUniform2ivARB), GLVERSION(128, glUniform3ivARB), GLVERSION(128, glUniform4ivARB),
    GLVERSION(128, glStencilFuncSeparate), GLVERSION(128, glStencilOpSeparate), GLVERSION(128, glStencilMaskSeparate),
    GLVERSION(128, glDeleteProgram), GLVERSION(128, glDeleteShader), GLVERSION(128, glDetachShader),
    GLVERSION(128, glEnableVertexAttribArrayARB), GLVERSION(128, glDisableVertexAttribArrayARB),
    GLVERSION(128, glGetAttachedShaders), GLVERSION(128, glGetShaderSource), GLVERSION(128, glGetUniformfv),
    GLVERSION(128, glGetUniformiv), GLVERSION(128, glGetVertexAttribdv), GLVERSION(128, glGetVertexAttribfv),
    GLVERSION(128, glGetVertexAttribiv), GLVERSION(128, glGetVertexAttribPointerv), GLVERSION(128, glIsProgram),
    GLVERSION(128, glIsShader), GLVERSION(128, glUniform1fARB), GLVERSION(128, glUniform2fARB),
    GLVERSION(128, glUniform3fARB), GLVERSION(128, glUniform4fARB), GLVERSION(128, glUniform1iARB),
    GLVERSION(128, glUniform2iARB), GLVERSION(128, glUniform3iARB), GLVERSION(128, glUniform4iARB),
    GLVERSION(128, glUniformMatrix2fvARB), GLVERSION(128, glUniformMatrix3fvARB),
    GLVERSION(128, glUniformMatrix4fvARB),
    GLVERSION(69, glBindBufferARB), GLVERSION(69, glBufferDataARB), GLVERSION(69, glBufferSubDataARB),
    GLVERSION(69, glDeleteBuffers), GLVERSION(69, glGenBuffers), GLVERSION(69, glGetBufferParameteriv),
    GLVERSION(69, glGetBufferPointervARB), GLVERSION(69, glGetBufferSubData), GLVERSION(69, glIsBuffer),
    GLVERSION(69, glMapBuffer), GLVERSION(69, glUnmapBuffer),
    GLVERSION(576, doNothing1),
    EXTENSION("GL_ARB_shader_objects", glDeleteObjectARB),
    EXTENSION("GL_ARB_shader_objects", glGetObjectParameterfvARB),
    EXTENSION("GL_ARB_shader_objects", glGetObjectParameterivARB),
    EXTENSION("GL_ARB_vertex_program", glGetProgramLocalParameterdvARB),
    EXTENSION("GL_ARB_vertex_program", glGetProgramLocalParameterfvARB),
    EXTENSION("GL_ARB_vertex_program", glGetProgramivARB), EXTENSION("GL_ARB_vertex_program", glGetProgramStringARB),
    EXTENSION("GL_NV_vertex_program", glAreProgramsResidentNV),
    EXTENSION("GL_ARB_vertex_program", glDeleteProgramsARB), EXTENSION("GL_ARB_vertex_program", glGenProgramsARB),
    EXTENSION("GL_NV_vertex_program", glGetProgramParameterdvNV),
    EXTENSION("GL_NV_vertex_program", glGetProgramParameterfvNV), EXTENSION("GL_NV_vertex_program", glGetProgramivNV),
    EXTENSION("GL_NV_vertex_program", glGetProgramStringNV), EXTENSION("GL_NV_vertex_program", glGetTrackMatrixivNV),
    EXTENSION("GL_ARB_vertex_program", glGetVertexAttribdvARB),
    EXTENSION("GL_ARB_vertex_program", glGetVertexAttribfvARB),
    EXTENSION("GL_ARB_vertex_program", glGetVertexAttribivARB), EXTENSION("GL_ARB_vertex_program", glIsProgramARB),
    EXTENSION("GL_NV_fragment_program", glGetProgramNamedParameterfvNV),
    EXTENSION("GL_NV_fragment_program", glGetProgramNamedParameterdvNV),
    EXTENSION("GL_ARB_framebuffer_object", glIsRenderbuffer),
    EXTENSION("GL_ARB_framebuffer_object", glGenRenderbuffers),
    EXTENSION("GL_ARB_framebuffer_object", glGetRenderbufferParameteriv),
    EXTENSION("GL_ARB_framebuffer_object", glIsFramebuffer),
    EXTENSION("GL_ARB_framebuffer_object", glGenFramebuffers),
    EXTENSION("GL_ARB_framebuffer_object", glCheckFramebufferStatus),
    EXTENSION("GL_ARB_framebuffer_object", glGetFramebufferAttachmentParameteriv),
    EXTENSION("GL_SGI_swap_control", glXSwapIntervalSGI),
    EXTENSION("GL_EXT_compiled_vertex_array", glLockArraysEXT),
    EXTENSION("GL_EXT_compiled_vertex_array", glUnlockArraysEXT),
    EXTENSION("GL_ARB_map_buffer_range", glMapBufferRange),
    EXTENSION("GL_ARB_map_buffer_range", glFlushMappedBufferRange),
    EXTENSION("GLX_EXT_texture_from_pixmap", glXBindTexImageEXT),
    EXTENSION("GLX_EXT_texture_from_pixmap", glXReleaseTexImageEXT),
    EXTENSION("GL_EXT_timer_query", glGetQueryObjecti64vEXT),
    EXTENSION("GL_EXT_timer_query", glGetQueryObjectui64vEXT),
    GLVERSION(65, glAreTexturesResident),
    GLVERSION(67, glClientActiveTexture),
    REQUIRED(glColorPointer), REQUIRED(glDeleteLists),
    GLVERSION(69, glDeleteQueries),
    GLVERSION(65, glDeleteTextures),
    REQUIRED(glDisableClientState), REQUIRED(glEdgeFlagPointer), REQUIRED(glEnableClientState),
    GLVERSION(128, glEnableVertexAttribArray),
    GLVERSION(66, glDrawRangeElements),
    REQUIRED(glEndList),
    GLVERSION(128, glDisableVertexAttribArray),
    GLVERSION(65, glFeedbackBuffer),
    REQUIRED(glFinish), REQUIRED(glFlush),
    GLVERSION(68, glFogCoordPointer),
    REQUIRED(glGenLists),
    GLVERSION(68, glGenQueries),
    GLVERSION(65, glGenTextures),
    REQUIRED(glGetBooleanv),
    EXTENSION("GL_ARB_vertex_buffer_object", glGetBufferPointerv),
    REQUIRED(glGetClipPlane),
    GLVERSION(66, glGetColorTable), GLVERSION(66, glGetColorTableParameterfv),
    GLVERSION(66, glGetColorTableParameteriv), GLVERSION(66, glGetConvolutionFilter),
    GLVERSION(66, glGetConvolutionParameterfv), GLVERSION(66, glGetConvolutionParameteriv),
    REQUIRED(glGetDoublev), REQUIRED(glGetError), REQUIRED(glGetFloatv),
    EXTENSION("GL_ARB_shader_objects", glGetHandleARB),
    GLVERSION(66, glGetHistogram), GLVERSION(66, glGetHistogramParameterfv), GLVERSION(66, glGetHistogramParameteriv),
    REQUIRED(glGetIntegerv), REQUIRED(glGetLightfv), REQUIRED(glGetLightiv), REQUIRED(glGetMapdv),
    REQUIRED(glGetMapfv), REQUIRED(glGetMapiv), REQUIRED(glGetMaterialfv), REQUIRED(glGetMaterialiv),
    GLVERSION(66, glGetMinmax), GLVERSION(66, glGetMinmaxParameterfv), GLVERSION(66, glGetMinmaxParameteriv),
    REQUIRED(glGetPixelMapfv), REQUIRED(glGetPixelMapuiv), REQUIRED(glGetPixelMapusv), REQUIRED(glGetPolygonStipple),
    GLVERSION(65, glGetPointerv),
    GLVERSION(68, glGetQueryiv), GLVERSION(68, glGetQueryObjectiv), GLVERSION(68, glGetQueryObjectuiv),
    GLVERSION(66, glGetSeparableFilter),
    REQUIRED(glGetString), REQUIRED(glGetTexEnvfv), REQUIRED(glGetTexEnviv), REQUIRED(glGetTexGendv),
    REQUIRED(glGetTexGenfv), REQUIRED(glGetTexGeniv), REQUIRED(glGetTexImage), REQUIRED(glGetTexParameterfv),
    REQUIRED(glGetTexParameteriv), REQUIRED(glGetTexLevelParameterfv), REQUIRED(glGetTexLevelParameteriv),
    REQUIRED(glIndexPointer), REQUIRED(glIsEnabled), REQUIRED(glIsList),
    GLVERSION(68, glIsQuery),
    GLVERSION(65, glIsTexture),
    REQUIRED(glNewList), REQUIRED(glNormalPointer), REQUIRED(glPixelStoref), REQUIRED(glPixelStorei),
    REQUIRED(glReadPixels), REQUIRED(glRenderMode),
    GLVERSION(68, glSecondaryColorPointer),
    REQUIRED(glSelectBuffer), REQUIRED(glTexCoordPointer),
    GLVERSION(65, glVertexPointer),
    GLVERSION(128, glVertexAttribPointer),
    REQUIRED(glXChooseVisual), REQUIRED(glXCreateContext),
    GLVERSION(67, glXCreateNewContext), GLVERSION(67, glXCreatePbuffer), GLVERSION(67, glXCreateGLXPixmap),
    GLVERSION(67, glXCreateWindow),
    REQUIRED(glXDestroyContext),
    GLVERSION(67, glXDestroyPbuffer), GLVERSION(67, glXDestroyGLXPixmap), GLVERSION(67, glXDestroyWindow),
    GLVERSION(67, glXGetCurrentReadDrawable), GLVERSION(67, glXGetFBConfigAttrib), GLVERSION(67, glXGetFBConfigs),
    GLVERSION(67, glXGetSelectedEvent), GLVERSION(67, glXGetVisualFromFBConfig),
    REQUIRED(glXMakeCurrent),
    GLVERSION(67, glXMakeContextCurrent),
    REQUIRED(glXSwapBuffers), REQUIRED(glXCopyContext), REQUIRED(glXIsDirect),
    GLVERSION(67, glXQueryContext),
    GLVERSION(65, glXQueryServerString),
    GLVERSION(67, glXSelectEvent),
    REQUIRED(glXUseXFont), REQUIRED(glXWaitGL), REQUIRED(glXWaitX), REQUIRED(glXQueryExtensionsString),
    EXTENSION("GL_ARB_shader_objects", glGetInfoLogARB), EXTENSION("GL_ARB_shader_objects", glGetAttachedObjectsARB),
    EXTENSION("GLX_EXT_swap_control", glXSwapIntervalEXT),
    EXTENSION("GLX_ARB_create_context", glXCreateContextAttribsARB),
    EXTENSION("GL_ARB_sync", glFenceSync), EXTENSION("GL_ARB_sync", glClientWaitSync),
    EXTENSION("GL_ARB_sync", glDeleteSync),
};

#undef REQUIRED
#undef GLVERSION
#undef EXTENSION
#undef UNCHECKED

static_assert(sizeof(kGlxLoadList) / sizeof(kGlxLoadList[0]) == 618);

}  // namespace

const char *glxdirectLoadFunctions(const char *library, uint32_t glVersion, GlxLibraryInstance *instance) {
  logStep("Lumora: Loading %s ...", library);
  // A GL library is never unloaded: its driver keeps state tied to the Display connections it
  // saw (unloading it while one is open crashes the later XCloseDisplay). Failed loads and the
  // last release leave it mapped; only the record goes.
  PluginLibrary *lib = nullptr;
  if (const char *failure = pluginLoad(library, nullptr, kPluginNeverUnload, &lib)) return failure;
  lib->flags |= kPluginNeverUnload;  // also when another user had opened it before
  instance->library = lib;
  logStep("Lumora: Resolving functions of %s ...", pluginPath(lib));

  uint32_t code = glVersion;
  auto *table = reinterpret_cast<unsigned char *>(&instance->functions);
  for (const GlxLoadEntry &look : kGlxLoadList) {
    void *symbol = nullptr;
    const char *missing = pluginSymbol(lib, look.name, &symbol);
    std::memcpy(table + look.entry, &symbol, sizeof symbol);
    if (!missing || look.tier == kLoadUnchecked) continue;
    if (look.tier == kLoadExtension) {
      logStep("Lumora: No %s() for %s ...", look.name, look.extension);
      continue;
    }
    uint32_t tierCode = look.tier == kLoadRequired ? kGl10 : look.tier;
    if (code > tierCode) {
      pluginUnload(lib);
      instance->library = nullptr;
      return missing;
    }
    if (code == tierCode && look.tier != kLoadRequired) {
      code = tierCode - 1;
      logStep("Lumora: No %s(), downgrading to GL %u.%u ...", look.name, code / 64, code % 64);
    }
  }
  instance->currentTagSlot = 0;

  // Errors raised through the library's own Xlib (its handle reaches it through the library's
  // dependencies) go to the proxy's trap handler.
  void *setErrorHandler = nullptr;
  if (!pluginSymbol(lib, "XSetErrorHandler", &setErrorHandler)) {
    reinterpret_cast<XErrorHandler (*)(XErrorHandler)>(setErrorHandler)(xtargetTrapErrorHandler);
  }
  return nullptr;
}
