#include <SDL.h>
#include <cstdio>
int main(){ SDL_SetMainReady(); SDL_Init(SDL_INIT_VIDEO); printf("%s\n", SDL_GetCurrentVideoDriver()); int r=SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR,"Error","hello\nworld",nullptr); printf("%d %s\n", r, SDL_GetError());}
