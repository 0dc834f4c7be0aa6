// The GLX render and vendor swappers: one row per render opcode and per vendor code, found by
// binary search in tables sorted by code, whose layouts byteswapByFormat applies.
//
// Layout notes where the wire differs from the GL call's arguments: a command with doubles
// carries them first (glTexGend: the double, then coord and pname; the named program
// parameters: the four doubles, then id and name length), except the vertex-attribute and
// program-parameter commands, which keep their order; glDepthBoundsEXT sends two doubles; the
// 1D compressed images carry the 2D header (height, and y offset, unused but present); the
// name or pixels that follow the fixed fields are never swapped. Rows with a hand-written case
// whose counts are read inside the data have a second layout for data already in our order.
#include "xext/glxswap.h"

#include "proxy/clientconnection.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/numbers.h"
#include "xext/byteswap.h"

GlxSwapRenderObserver glxSwapRenderObserver = nullptr;

namespace {

constexpr GlxSwapRow kRenderRows[] = {
    {1, "i"},                   // glCallList
    {2, "H33", "H-33"},         // glCallLists
    {3, "i"},                   // glListBase
    {4, "i"},                   // glBegin
    {5, "bbsiiiiiiiiii"},       // glBitmap
    {6, ""},                    // glColor3bv
    {7, "L"},                   // glColor3dv
    {8, "iii"},                 // glColor3f
    {9, "I"},                   // glColor3iv
    {10, "S"},                  // glColor3sv
    {11, ""},                   // glColor3ubv
    {12, "I"},                  // glColor3uiv
    {13, "S"},                  // glColor3usv
    {14, ""},                   // glColor4bv
    {15, "llll"},               // glColor4dv
    {16, "I"},                  // glColor4fv
    {17, "I"},                  // glColor4iv
    {18, "S"},                  // glColor4sv
    {19, ""},                   // glColor4ubv
    {20, "I"},                  // glColor4uiv
    {21, "S"},                  // glColor4usv
    {22, ""},                   // glEdgeFlagv
    {23, ""},                   // glEnd
    {24, "L"},                  // glIndexdv
    {25, "I"},                  // glIndexfv
    {26, "I"},                  // glIndexiv
    {27, "S"},                  // glIndexsv
    {28, ""},                   // glNormal3bv
    {29, "lll"},                // glNormal3dv
    {30, "iii"},                // glNormal3fv
    {31, "iii"},                // glNormal3iv
    {32, "sss"},                // glNormal3sv
    {33, "ll"},                 // glRasterPos2dv
    {34, "ii"},                 // glRasterPos2fv
    {35, "ii"},                 // glRasterPos2iv
    {36, "ss"},                 // glRasterPos2sv
    {37, "lll"},                // glRasterPos3dv
    {38, "iii"},                // glRasterPos3fv
    {39, "I"},                  // glRasterPos3iv
    {40, "S"},                  // glRasterPos3sv
    {41, "L"},                  // glRasterPos4dv
    {42, "iiii"},               // glRasterPos4fv
    {43, "I"},                  // glRasterPos4iv
    {44, "S"},                  // glRasterPos4sv
    {45, "L"},                  // glRectdv
    {46, "I"},                  // glRectfv
    {47, "iiii"},               // glRecti
    {48, "S"},                  // glRectsv
    {49, "L"},                  // glTexCoord1dv
    {50, "I"},                  // glTexCoord1fv
    {51, "I"},                  // glTexCoord1iv
    {52, "S"},                  // glTexCoord1sv
    {53, "ll"},                 // glTexCoord2d
    {54, "ii"},                 // glTexCoord2fv
    {55, "ii"},                 // glTexCoord2iv
    {56, "ss"},                 // glTexCoord2sv
    {57, "lll"},                // glTexCoord3dv
    {58, "iii"},                // glTexCoord3fv
    {59, "I"},                  // glTexCoord3iv
    {60, "S"},                  // glTexCoord3sv
    {61, "llll"},               // glTexCoord4dv
    {62, "I"},                  // glTexCoord4fv
    {63, "I"},                  // glTexCoord4iv
    {64, "S"},                  // glTexCoord4sv
    {65, "ll"},                 // glVertex2d
    {66, "ii"},                 // glVertex2f
    {67, "ii"},                 // glVertex2i
    {68, "ss"},                 // glVertex2s
    {69, "lll"},                // glVertex3d
    {70, "iii"},                // glVertex3f
    {71, "iii"},                // glVertex3iv
    {72, "sss"},                // glVertex3sv
    {73, "llll"},               // glVertex4dv
    {74, "iiii"},               // glVertex4fv
    {75, "iiii"},               // glVertex4iv
    {76, "ssss"},               // glVertex4sv
    {77, "lllli"},              // glClipPlane
    {78, "ii"},                 // glColorMaterial
    {79, "i"},                  // glCullFace
    {80, "ii"},                 // glFogf
    {81, "I"},                  // glFogfv
    {82, "ii"},                 // glFogi
    {83, "I"},                  // glFogiv
    {84, "i"},                  // glFrontFace
    {85, "ii"},                 // glHint
    {86, "iii"},                // glLightf
    {87, "I"},                  // glLightfv
    {88, "iii"},                // glLighti
    {89, "I"},                  // glLightiv
    {90, "ii"},                 // glLightModelf
    {91, "I"},                  // glLightModelfv
    {92, "ii"},                 // glLightModeli
    {93, "I"},                  // glLightModeliv
    {94, "is"},                 // glLineStipple
    {95, "i"},                  // glLineWidth
    {96, "iii"},                // glMaterialf
    {97, "I"},                  // glMaterialfv
    {98, "iii"},                // glMateriali
    {99, "I"},                  // glMaterialiv
    {100, "i"},                 // glPointSize
    {101, "ii"},                // glPolygonMode
    {102, "bbsiiii"},           // glPolygonStipple
    {103, "iiii"},              // glScissor
    {104, "i"},                 // glShadeModel
    {105, "iii"},               // glTexParameterf
    {106, "I"},                 // glTexParameterfv
    {107, "iii"},               // glTexParameteri
    {108, "I"},                 // glTexParameteriv
    {109, "bbsiiiiiiiiiiii"},   // glTexImage1D
    {110, "bbsiiiiiiiiiiii"},   // glTexImage2D
    {111, "iii"},               // glTexEnvf
    {112, "I"},                 // glTexEnvfv
    {113, "iii"},               // glTexEnvi
    {114, "I"},                 // glTexEnviv
    {115, "lii"},               // glTexGend
    {116, "iiL"},               // glTexGendv
    {117, "iii"},               // glTexGenf
    {118, "I"},                 // glTexGenfv
    {119, "iii"},               // glTexGeni
    {120, "I"},                 // glTexGeniv
    {121, ""},                  // glInitNames
    {122, "i"},                 // glLoadName
    {123, "i"},                 // glPassThrough
    {124, ""},                  // glPopName
    {125, "i"},                 // glPushName
    {126, "i"},                 // glDrawBuffer
    {127, "i"},                 // glClear
    {128, "iiii"},              // glClearAccum
    {129, "i"},                 // glClearIndex
    {130, "iiii"},              // glClearColor
    {131, "i"},                 // glClearStencil
    {132, "l"},                 // glClearDepth
    {133, "i"},                 // glStencilMask
    {134, ""},                  // glColorMask
    {135, ""},                  // glDepthMask
    {136, "i"},                 // glIndexMask
    {137, "ii"},                // glAccum
    {138, "i"},                 // glDisable
    {139, "i"},                 // glEnable
    {141, ""},                  // glPopAttrib
    {142, "i"},                 // glPushAttrib
    {143, "lliiL"},             // glMap1d
    {144, "I"},                 // glMap1f
    {145, "lllliiiL"},          // glMap2d
    {146, "I"},                 // glMap2f
    {147, "lli"},               // glMapGrid1d
    {148, "iii"},               // glMapGrid1f
    {149, "llllii"},            // glMapGrid2d
    {150, "iiiiii"},            // glMapGrid2f
    {151, "l"},                 // glEvalCoord1d
    {152, "i"},                 // glEvalCoord1f
    {153, "ll"},                // glEvalCoord2d
    {154, "ii"},                // glEvalCoord2f
    {155, "iii"},               // glEvalMesh1
    {156, "i"},                 // glEvalPoint1
    {157, "I"},                 // glEvalMesh2
    {158, "ii"},                // glEvalPoint2
    {159, "ii"},                // glAlphaFunc
    {160, "ii"},                // glBlendFunc
    {161, "i"},                 // glLogicOp
    {162, "iii"},               // glStencilFunc
    {163, "iii"},               // glStencilOp
    {164, "i"},                 // glDepthFunc
    {165, "ii"},                // glPixelZoom
    {166, "ii"},                // glPixelTransferf
    {167, "ii"},                // glPixelTransferi
    {168, "I"},                 // glPixelMapfv
    {169, "I"},                 // glPixelMapuiv
    {170, "iiS"},               // glPixelMapusv
    {171, "i"},                 // glReadBuffer
    {172, "iiiii"},             // glCopyPixels
    {173, "bbsiiiiiiii"},       // glDrawPixels
    {174, "ll"},                // glDepthRange
    {175, "llllll"},            // glFrustum
    {176, ""},                  // glLoadIdentity
    {177, "I"},                 // glLoadMatrixf
    {178, "L"},                 // glLoadMatrixd
    {179, "i"},                 // glMatrixMode
    {180, "I"},                 // glMultMatrixf
    {181, "L"},                 // glMultMatrixd
    {182, "llllll"},            // glOrtho
    {183, ""},                  // glPopMatrix
    {184, ""},                  // glPushMatrix
    {185, "llll"},              // glRotated
    {186, "iiii"},              // glRotatef
    {187, "lll"},               // glScaled
    {188, "iii"},               // glScalef
    {189, "lll"},               // glTranslated
    {190, "iii"},               // glTranslatef
    {191, "iiii"},              // glViewport
    {192, "ii"},                // glPolygonOffset
    {193, "H1", "H-1"},         // glDrawArrays (GLX DrawArrays with array descriptions)
    {194, ""},                  // glIndexubv
    {195, "bbsiiiiiiiii"},      // glColorSubTable
    {196, "iiiii"},             // glCopyColorSubTable
    {197, "i"},                 // glActiveTexture
    {198, "li"},                // glMultiTexCoord1dv
    {199, "I"},                 // glMultiTexCoord1fv
    {200, "I"},                 // glMultiTexCoord1iv
    {201, "iS"},                // glMultiTexCoord1sv
    {202, "lli"},               // glMultiTexCoord2dv
    {203, "I"},                 // glMultiTexCoord2fv
    {204, "I"},                 // glMultiTexCoord2iv
    {205, "iS"},                // glMultiTexCoord2sv
    {206, "llli"},              // glMultiTexCoord3dv
    {207, "I"},                 // glMultiTexCoord3fv
    {208, "I"},                 // glMultiTexCoord3iv
    {209, "iS"},                // glMultiTexCoord3sv
    {210, "lllli"},             // glMultiTexCoord4dv
    {211, "I"},                 // glMultiTexCoord4fv
    {212, "I"},                 // glMultiTexCoord4iv
    {213, "iS"},                // glMultiTexCoord4sv
    {214, "iiiiiii"},           // glCompressedTexImage1DARB
    {215, "iiiiiii"},           // glCompressedTexImage2DARB
    {216, "iiiiiiii"},          // glCompressedTexImage3DARB
    {217, "iiiiiiii"},          // glCompressedTexSubImage1DARB
    {218, "iiiiiiii"},          // glCompressedTexSubImage2DARB
    {219, "iiiiiiiiii"},        // glCompressedTexSubImage3DARB
    {229, "i"},                 // glSampleCoverage
    {230, "I"},                 // glWindowPos3fv
    {231, "ii"},                // glBeginQuery
    {232, "i"},                 // glEndQuery
    {233, "I"},                 // glDrawBuffers
    {235, "ii"},                // glBindRenderbuffer
    {236, "ii"},                // glBindFramebuffer
    {237, "iiiii"},             // glFramebufferTextureLayerARB
    {238, "i"},                 // glDeleteObjectARB
    {239, "ii"},                // glDetachObjectARB
    {240, "i"},                 // glCompileShader
    {241, "ii"},                // glAttachShader
    {242, "i"},                 // glLinkProgram
    {243, "i"},                 // glUseProgram
    {244, "i"},                 // glValidateProgram
    {245, "ii"},                // glUniform1f
    {246, "iii"},               // glUniform2f
    {247, "iiii"},              // glUniform3f
    {248, "iiiii"},             // glUniform4f
    {249, "ii"},                // glUniform1i
    {250, "iii"},               // glUniform2i
    {251, "iiii"},              // glUniform3i
    {252, "iiiii"},             // glUniform4i
    {253, "iH39", "iH-39"},     // glShaderSource
    {254, "I"},                 // glUniform1fv
    {255, "I"},                 // glUniform2fv
    {256, "I"},                 // glUniform3fv
    {257, "I"},                 // glUniform4fv
    {258, "I"},                 // glUniform1iv
    {259, "I"},                 // glUniform2iv
    {260, "I"},                 // glUniform3iv
    {261, "I"},                 // glUniform4iv
    {262, "I"},                 // glUniformMatrix2fv
    {263, "I"},                 // glUniformMatrix3fv
    {264, "I"},                 // glUniformMatrix4fv
    {265, "iii"},               // glBindAttribLocation
    {266, "iii"},               // glProgramParameteriARB
    {267, "iiii"},              // glFramebufferTextureARB
    {268, "iiiii"},             // glFramebufferTextureFaceARB
    {290, "ii"},                // glBindBuffer
    {291, "liiiii"},            // client array pointer set-up
    {292, "ii"},                // enable a client array
    {293, "ii"},                // disable a client array
    {294, "i"},                 // glArrayElement
    {295, "liii"},              // glDrawElements
    {296, "i"},                 // glPushClientAttrib
    {297, ""},                  // glPopClientAttrib
    {298, "lii"},               // glBufferData
    {299, "lli"},               // glBufferSubData
    {300, "H37", "H-37"},       // glDrawArrays
    {301, "H38", "H-38"},       // glDrawRangeElements
    {2053, "bbsiiiiiiiii"},     // glColorTable
    {2054, "I"},                // glColorTableParameterfv
    {2055, "I"},                // glColorTableParameteriv
    {2056, "iiiii"},            // glCopyColorTable
    {2065, "ii"},               // glPointParameterf
    {2066, "I"},                // glPointParameterfv
    {4096, "iiii"},             // glBlendColor
    {4097, "i"},                // glBlendEquation
    {4099, "bbsiiiiiiiiiiiii"}, // glTexSubImage1D
    {4100, "bbsiiiiiiiiiiiii"}, // glTexSubImage2D
    {4101, "bbsiiiiiiiiii"},    // glConvolutionFilter1D
    {4102, "bbsiiiiiiiiii"},    // glConvolutionFilter2D
    {4103, "iii"},              // glConvolutionParameterf
    {4104, "I"},                // glConvolutionParameterfv
    {4105, "iii"},              // glConvolutionParameteri
    {4106, "I"},                // glConvolutionParameteriv
    {4107, "iiiii"},            // glCopyConvolutionFilter1D
    {4108, "iiiiii"},           // glCopyConvolutionFilter2D
    {4109, "bbsiiiiiiiiii"},    // glSeparableFilter2D
    {4110, "iiib"},             // glHistogram
    {4111, "iib"},              // glMinmax
    {4112, "i"},                // glResetHistogram
    {4113, "i"},                // glResetMinmax
    {4114, "bbsiiiiiiiiiiiiiiiiiii"},// glTexImage3D
    {4115, "bbsiiiiiiiiiiiiiiiiiiiii"},// glTexSubImage3D
    {4117, "ii"},               // glBindTexture
    {4118, "I"},                // glPrioritizeTextures
    {4119, "I"},                // glCopyTexImage1D
    {4120, "I"},                // glCopyTexImage2D
    {4121, "I"},                // glCopyTexSubImage1D
    {4122, "I"},                // glCopyTexSubImage2D
    {4123, "iiiiiiiii"},        // glCopyTexSubImage3D
    {4124, "I"},                // glFogCoordfvEXT
    {4125, "L"},                // glFogCoorddvEXT
    {4126, ""},                 // glSecondaryColor3bvEXT
    {4127, "sss"},              // glSecondaryColor3svEXT
    {4128, "iii"},              // glSecondaryColor3ivEXT
    {4129, "iii"},              // glSecondaryColor3fvEXT
    {4130, "lll"},              // glSecondaryColor3dvEXT
    {4131, ""},                 // glSecondaryColor3ubvEXT
    {4132, "sss"},              // glSecondaryColor3usvEXT
    {4133, "iii"},              // glSecondaryColor3uivEXT
    {4134, "I"},                // glBlendFuncSeparateEXT
    {4180, "ii"},               // glBindProgramARB
    {4181, "I"},                // glExecuteProgramNV
    {4182, "I"},                // glRequestResidentProgramsNV
    {4183, "iii"},              // glLoadProgramNV
    {4184, "I"},                // glProgramParameter4fvNV
    {4185, "iiL"},              // glProgramParameter4dvNV
    {4186, "I"},                // glProgramParameters4fvNV
    {4187, "iiiL"},             // glProgramParameters4dvNV
    {4188, "I"},                // glTrackMatrixNV
    {4189, "iS"},               // glVertexAttrib1svARB
    {4190, "iS"},               // glVertexAttrib2svARB
    {4191, "iS"},               // glVertexAttrib3svARB
    {4192, "iS"},               // glVertexAttrib4svARB
    {4193, "I"},                // glVertexAttrib1fvARB
    {4194, "iii"},              // glVertexAttrib2fARB
    {4195, "I"},                // glVertexAttrib3fvARB
    {4196, "I"},                // glVertexAttrib4fvARB
    {4197, "iL"},               // glVertexAttrib1dvARB
    {4198, "iL"},               // glVertexAttrib2dvARB
    {4199, "iL"},               // glVertexAttrib3dvARB
    {4200, "iL"},               // glVertexAttrib4dvARB
    {4201, "i"},                // glVertexAttrib4NubvARB
    {4202, "iiS"},              // glVertexAttribs1svNV
    {4203, "iiS"},              // glVertexAttribs2svNV
    {4204, "iiS"},              // glVertexAttribs3svNV
    {4205, "iiS"},              // glVertexAttribs4svNV
    {4206, "I"},                // glVertexAttribs1fvNV
    {4207, "I"},                // glVertexAttribs2fvNV
    {4208, "I"},                // glVertexAttribs3fvNV
    {4209, "I"},                // glVertexAttribs4fvNV
    {4210, "iiL"},              // glVertexAttribs1dvNV
    {4211, "iiL"},              // glVertexAttribs2dvNV
    {4212, "iiL"},              // glVertexAttribs3dvNV
    {4213, "iiL"},              // glVertexAttribs4dvNV
    {4214, "ii"},               // glVertexAttribs4ubvNV
    {4215, "I"},                // glProgramLocalParameter4fvARB
    {4216, "iiL"},              // glProgramLocalParameter4dvARB
    {4217, "iii"},              // glProgramStringARB
    {4218, "iiiiii"},           // glProgramNamedParameter4fvNV
    {4219, "llllii"},           // glProgramNamedParameter4dvNV
    {4220, "i"},                // glActiveStencilFaceEXT
    {4221, "ii"},               // glPointParameteri
    {4222, "I"},                // glPointParameteriv
    {4227, "i"},                // glProvokingVertex
    {4228, "ii"},               // glBlendEquationSeparateEXT
    {4229, "ll"},               // glDepthBoundsEXT
    {4230, "i"},                // glVertexAttrib4bvARB
    {4231, "I"},                // glVertexAttrib4ivARB
    {4232, "i"},                // glVertexAttrib4ubvARB
    {4233, "iS"},               // glVertexAttrib4usvARB
    {4234, "I"},                // glVertexAttrib4uivARB
    {4235, "i"},                // glVertexAttrib4NbvARB
    {4236, "iS"},               // glVertexAttrib4NsvARB
    {4237, "I"},                // glVertexAttrib4NivARB
    {4238, "iS"},               // glVertexAttrib4NusvARB
    {4239, "I"},                // glVertexAttrib4NuivARB
    {4265, "iS"},               // glVertexAttrib1svNV
    {4266, "iS"},               // glVertexAttrib2svNV
    {4267, "iS"},               // glVertexAttrib3svNV
    {4268, "iS"},               // glVertexAttrib4svNV
    {4269, "I"},                // glVertexAttrib1fvNV
    {4270, "I"},                // glVertexAttrib2fvNV
    {4271, "I"},                // glVertexAttrib3fvNV
    {4272, "I"},                // glVertexAttrib4fvNV
    {4273, "iL"},               // glVertexAttrib1dvNV
    {4274, "iL"},               // glVertexAttrib2dvNV
    {4275, "iL"},               // glVertexAttrib3dvNV
    {4276, "iL"},               // glVertexAttrib4dvNV
    {4277, "i"},                // glVertexAttrib4ubvNV
    {4281, "I"},                // glProgramEnvParameters4fvEXT
    {4282, "I"},                // glProgramLocalParameters4fvEXT
    {4316, "ii"},               // glBindRenderbuffer
    {4317, "I"},                // glDeleteRenderbuffers
    {4318, "iiii"},             // glRenderbufferStorage
    {4319, "ii"},               // glBindFramebuffer
    {4320, "I"},                // glDeleteFramebuffers
    {4321, "iiiii"},            // glFramebufferTexture1D
    {4322, "iiiii"},            // glFramebufferTexture2D
    {4323, "iiiiii"},           // glFramebufferTexture3D
    {4324, "iiii"},             // glFramebufferRenderbuffer
    {4325, "i"},                // glGenerateMipmap
    {4330, "iiiiiiiiii"},       // glBlitFramebuffer
    {4331, "iiiii"},            // glRenderbufferStorageMultisample
    {9900, "i"},                // glGenRenderbuffers
    {9901, "i"},                // glGenFramebuffers
};

constexpr GlxSwapRow kVendorRows[] = {
    {1293, "I"},                // glAreProgramsResidentNV
    {1294, "I"},                // glDeleteProgramsARB
    {1295, "i"},                // glGenProgramsARB
    {1296, "iii"},              // glGetProgramParameterfvNV
    {1297, "iii"},              // glGetProgramParameterdvNV
    {1298, "ii"},               // glGetProgramivNV
    {1299, "ii"},               // glGetProgramStringNV
    {1300, "iii"},              // glGetTrackMatrixivNV
    {1301, "ii"},               // glGetVertexAttribdvARB
    {1302, "ii"},               // glGetVertexAttribfvARB
    {1303, "ii"},               // glGetVertexAttribivARB
    {1304, "i"},                // glIsProgramARB
    {1305, "ii"},               // glGetProgramLocalParameterfvARB
    {1306, "ii"},               // glGetProgramLocalParameterdvARB
    {1307, "ii"},               // glGetProgramivARB
    {1308, "ii"},               // glGetProgramStringARB
    {1310, "ii"},               // glGetProgramNamedParameterfvNV
    {1311, "ii"},               // glGetProgramNamedParameterdvNV
    {1328, "ii"},               // glGetQueryObjecti64vEXT
    {1329, "ii"},               // glGetQueryObjectui64vEXT
    {1330, "I"},                // glXBindTexImageEXT
    {1331, "iii"},              // glXReleaseTexImageEXT
    {1422, "i"},                // glIsRenderbuffer
    {1423, "i"},                // glGenRenderbuffers
    {1424, "ii"},               // glGetRenderbufferParameteriv
    {1425, "i"},                // glIsFramebuffer
    {1426, "i"},                // glGenFramebuffers
    {1427, "i"},                // glCheckFramebufferStatus
    {1428, "iii"},              // glGetFramebufferAttachmentParameteriv
    {5154, "iiiii"},            // glXCopySubBufferMESA
    {65536, "i"},               // glXSwapIntervalSGI
    {90000, "ii"},              // glCreateShader
    {90001, "iH39", "iH-39"},   // glShaderSource
    {90002, "i"},               // glCompileShader
    {90003, "ii"},              // glGetShaderiv
    {90004, "i"},               // glLinkProgram
    {90005, "iii"},             // glBindAttribLocationARB
    {90006, "i"},               // glCreateProgram
    {90007, "ii"},              // glGetProgramiv
    {90008, "ii"},              // glAttachObjectARB
    {90009, "ii"},              // glAttachShader
    {90010, "i"},               // glUseProgram
    {90011, "iii"},             // glGetActiveUniform
    {90012, "ii"},              // glGetUniformLocation
    {90013, "iii"},             // glGetActiveAttrib
    {90014, "ii"},              // glGetAttribLocation
    {90015, "ii"},              // glGetShaderInfoLog
    {90016, "ii"},              // glGetProgramInfoLog
    {90017, "i"},               // glValidateProgramARB
    {90018, "I"},               // glUniform1fvARB
    {90019, "I"},               // glUniform2fvARB
    {90020, "I"},               // glUniform3fvARB
    {90021, "I"},               // glUniform4fvARB
    {90022, "I"},               // glUniform1ivARB
    {90023, "I"},               // glUniform2ivARB
    {90024, "I"},               // glUniform3ivARB
    {90025, "I"},               // glUniform4ivARB
    {90026, "iiii"},            // glStencilFuncSeparate
    {90027, "iiii"},            // glStencilOpSeparate
    {90028, "ii"},              // glStencilMaskSeparate
    {90029, "i"},               // glDeleteProgram
    {90030, "i"},               // glDeleteShader
    {90031, "ii"},              // glDetachShader
    {90032, "i"},               // glDisableVertexAttribArrayARB
    {90033, "i"},               // glEnableVertexAttribArrayARB
    {90034, "ii"},              // glGetAttachedShaders
    {90035, "ii"},              // glGetShaderSource
    {90036, "ii"},              // glGetUniformfv
    {90037, "ii"},              // glGetUniformiv
    {90038, "ii"},              // glGetVertexAttribdv
    {90039, "ii"},              // glGetVertexAttribfv
    {90040, "ii"},              // glGetVertexAttribiv
    {90041, "ii"},              // glGetVertexAttribPointerv
    {90042, "i"},               // glIsProgram
    {90043, "i"},               // glIsShader
    {90044, "ii"},              // glUniform1fARB
    {90045, "iii"},             // glUniform2fARB
    {90046, "I"},               // glUniform3fARB
    {90047, "I"},               // glUniform4fARB
    {90048, "ii"},              // glUniform1iARB
    {90049, "iii"},             // glUniform2iARB
    {90050, "I"},               // glUniform3iARB
    {90051, "iiiii"},           // glUniform4iARB
    {90052, "I"},               // glUniformMatrix2fvARB
    {90053, "I"},               // glUniformMatrix3fvARB
    {90054, "I"},               // glUniformMatrix4fvARB
    {90055, "ii"},              // glBindBufferARB
    {90056, "iii"},             // glBufferDataARB
    {90057, "iii"},             // glBufferSubDataARB
    {90058, "I"},               // glDeleteBuffers
    {90059, "i"},               // glGenBuffers
    {90060, "ii"},              // glGetBufferParameteriv
    {90061, "ii"},              // glGetBufferPointervARB
    {90062, "iii"},             // glGetBufferSubData
    {90063, "i"},               // glIsBuffer
    {90064, "ii"},              // glMapBuffer
    {90065, "i"},               // glUnmapBuffer
    {90066, "ii"},              // (no GL call on the direct path)
    {90073, "i"},               // glDeleteObjectARB
    {90074, "ii"},              // glGetObjectParameterfvARB
    {90075, "ii"},              // glGetObjectParameterivARB
    {90076, "ii"},              // glLockArraysEXT
    {90077, ""},                // glUnlockArraysEXT
    {90078, "iiii"},            // glMapBufferRange
    {90079, "iii"},             // glFlushMappedBufferRange
};

constexpr bool sortedByCode(std::span<const GlxSwapRow> rows) {
  for (size_t k = 1; k < rows.size(); k++)
    if (rows[k - 1].code >= rows[k].code) return false;
  return true;
}
static_assert(sortedByCode(kRenderRows), "render rows must be sorted by opcode without repeats");
static_assert(sortedByCode(kVendorRows), "vendor rows must be sorted by code without repeats");

// Applies the row's layout for the data's order, or logs the code without a row. The size is
// that of the data handed over, however short.
void swapByRow(const GlxSwapRow *row, const char *kind, uint32_t code, uint8_t *first, uint8_t *end,
               int direction) {
  if (!row) {
    uint64_t bytes = first && end && end > first ? uint64_t(end - first) : 0;
    LOG(logChannelWarning, "GLX: Unsupported %s command #%u (%s) to swap by %s", kind, code, strSizeText(bytes),
        xscreenClientName(xproxyCurrentClient));
    return;
  }
  byteswapByFormat(direction <= 0 && row->ownOrderLayout ? row->ownOrderLayout : row->layout, first, end);
}

}  // namespace

std::span<const GlxSwapRow> glxSwapRenderRows() { return kRenderRows; }
std::span<const GlxSwapRow> glxSwapVendorRows() { return kVendorRows; }

const GlxSwapRow *glxSwapFindRow(std::span<const GlxSwapRow> rows, uint32_t code) {
  size_t low = 0, high = rows.size();  // the row, if any, lies in [low, high)
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    if (rows[middle].code == code) return &rows[middle];
    if (rows[middle].code < code)
      low = middle + 1;
    else
      high = middle;
  }
  return nullptr;
}

void glxSwapRenderCommand(uint32_t opcode, uint8_t *first, uint8_t *end, int direction) {
  if (glxSwapRenderObserver) glxSwapRenderObserver(opcode, first, end, direction);
  swapByRow(glxSwapFindRow(kRenderRows, opcode), "render", opcode, first, end, direction);
}

void glxSwapVendorCommand(uint32_t vendorCode, uint8_t *first, uint8_t *end, int direction) {
  swapByRow(glxSwapFindRow(kVendorRows, vendorCode), "vendor", vendorCode, first, end, direction);
}
